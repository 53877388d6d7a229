#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int, bool) {
  _report_unavailable("Get_Fingerprint");
  return false;
}

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string, bool) {
  _report_unavailable("Recover_Firmware");
  return false;
}
