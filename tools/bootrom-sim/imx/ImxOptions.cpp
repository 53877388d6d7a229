#include "ImxOptions.h"

#include <cstdlib>

#include "SdpRom.h"

namespace bootrom::imx {

namespace {

constexpr uint32_t kKiB = 1024;
const std::vector<RamRegion> kDefaultRam = {{0x00000000, 128 * kKiB}, {0x20000000, 128 * kKiB}, {0x20200000, 256 * kKiB}};
constexpr uint32_t kFingerprintLowRegister = 0x401F4410;
constexpr uint32_t kFingerprintHighRegister = 0x401F4420;

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long n = std::strtoull(text.c_str(), &end, 0);
  if (*end == 'K' || *end == 'k') {
    n *= kKiB;
    ++end;
  }
  if (*end != '\0' || n > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

// "A<sep>B" with two numbers.
bool ParsePair(const std::string& text, char separator, uint32_t* first, uint32_t* second) {
  const size_t at = text.find(separator);
  return at != std::string::npos && ParseNumber(text.substr(0, at), first) && ParseNumber(text.substr(at + 1), second);
}

}  // namespace

bool ParseImxOptions(const std::vector<std::string>& args, ImxOptions* o, std::string* error) {
  const std::map<std::string, std::string*> texts = {{"--hid-dir", &o->hidDir}, {"--dump-dir", &o->dumpDir},
                                                     {"--devsim", &o->devsim},   {"--usb-dir", &o->usbDir},
                                                     {"--loader-module", &o->loaderModule},
                                                     {"--devsim-emulator", &o->devsimEmulator}};
  std::string hab = "open";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (i + 1 >= args.size()) {
      *error = texts.count(name) || name == "--ram" || name == "--register" || name == "--hab" || name == "--fault"
                   ? name + " needs a value"
                   : "unknown option " + name;
      return false;
    }
    const std::string& value = args[++i];
    auto text = texts.find(name);
    if (text != texts.end()) {
      *text->second = value;
    } else if (name == "--ram") {
      RamRegion region;
      if (!ParsePair(value, ':', &region.address, &region.size) || region.size == 0 ||
          static_cast<uint64_t>(region.address) + region.size > 0x100000000ull) {
        *error = "--ram wants ADDRESS:SIZE inside the 32-bit space, not " + value;
        return false;
      }
      o->ram.push_back(region);
    } else if (name == "--register") {
      uint32_t address = 0, word = 0;
      if (!ParsePair(value, '=', &address, &word)) {
        *error = "--register wants ADDRESS=VALUE, not " + value;
        return false;
      }
      o->registers[address] = word;
    } else if (name == "--hab") {
      hab = value;
    } else if (name == "--fault") {
      if (value != "short-answers") {
        *error = "unknown fault " + value;
        return false;
      }
      o->shortAnswers = true;
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (hab != "open" && hab != "closed") {
    *error = "--hab is open or closed, not " + hab;
    return false;
  }
  o->habMode = hab == "open" ? kHabOpen : kHabClosed;
  if (o->ram.empty()) o->ram = kDefaultRam;
  o->registers.emplace(kFingerprintLowRegister, 0x00000000);
  o->registers.emplace(kFingerprintHighRegister, 0x00000000);
  if (!o->devsim.empty() && o->usbDir.empty()) {
    *error = "--devsim needs --usb-dir: the loader is presented through the simulated USB bus";
    return false;
  }
  return true;
}

std::string ImxUsage() {
  return
      "  (the Serial Download Protocol on the pseudo-terminal and, with --hid-dir, as USB HID device\n"
      "  1FC9:0130 through the hidapi stand-in; the ready file lists \"serialport <slave> [<link>]\",\n"
      "  \"hid <socket>\" and \"ready\")\n"
      "  --hid-dir DIR          serve HID reports on DIR/1FC90130.sock, listed in DIR/devices as\n"
      "                         \"<vendor> <product> <socket>\" (AXONFORGE_HIDSIM_DIR of the stand-in)\n"
      "  --ram ADDRESS:SIZE     a RAM region (repeatable; SIZE may end in K); default ITCM\n"
      "                         0x00000000:128K, DTCM 0x20000000:128K, OCRAM 0x20200000:256K\n"
      "  --register ADDR=VALUE  a 32-bit register READ_REGISTER returns (repeatable); the\n"
      "                         identification words 0x401F4410 and 0x401F4420 read 0 unless given\n"
      "  --hab open|closed      HAB-mode word 0x56787856 (open, default) or 0x12343412 (closed)\n"
      "  --dump-dir DIR         after each WRITE_FILE, at the jump and when stopping write each RAM\n"
      "                         region to DIR/<ADDRESS %08X>.bin\n"
      "  --devsim PATH          at JUMP_ADDRESS become the devsim program at PATH, with\n"
      "  --usb-dir DIR          the loader module on the simulated USB bus in DIR and\n"
      "  --loader-module DESC   this module description (default serial=0xDEADDEAD,usb,startloader)\n"
      "  --devsim-emulator EMU  start the devsim program through the user-mode emulator EMU (for a\n"
      "                         devsim built for another machine)\n"
      "  --fault short-answers  answers lose their padding: report 4 carries only its payload over\n"
      "                         HID, and a serial answer only the HAB-mode word\n"
      "  Commands: READ_REGISTER, WRITE_REGISTER, WRITE_FILE, ERROR_STATUS, DCD_WRITE, JUMP_ADDRESS,\n"
      "  SKIP_DCD_HEADER. Each answer starts with the HAB-mode word; then 0x88888888 (file written),\n"
      "  0x128A8A12 (register or DCD written), 0x900DD009 (DCD header skipped), the error status\n"
      "  (0xF0F0F0F0, 0x33333333 after a refused command) or the register bytes. A WRITE_FILE outside\n"
      "  RAM is answered at once with the error status and its data swallowed. The serial line also\n"
      "  answers the association pattern 23 45 45 23 with itself and drops the bytes of an incomplete\n"
      "  command after 50 ms without more. JUMP_ADDRESS is answered with the\n"
      "  HAB-mode word; then the ROM closes its ports and the loader runs (--devsim) or all is silent.\n";
}

}  // namespace bootrom::imx
