#ifndef TESTLIB_USBMODULESIM_H
#define TESTLIB_USBMODULESIM_H

#include <stdint.h>

#include <string>

#include "DevSim.h"
#include "TempDir.h"

// The device simulator presenting one module on simulated USB. Its devices are listed in a
// private directory that this process's libusb stand-in reads (AXONFORGE_USBSIM_DIR) while the
// object lives.
class UsbModuleSim {
 public:
  UsbModuleSim(uint32_t serial, uint8_t model, uint8_t address);
  ~UsbModuleSim();
  UsbModuleSim(const UsbModuleSim&) = delete;
  UsbModuleSim& operator=(const UsbModuleSim&) = delete;

  // Empty when the simulator runs; otherwise why it does not.
  const std::string& error() const { return error_; }
  devsim::DevSim& sim() { return sim_; }

 private:
  static devsim::DevSimConfig Config(uint32_t serial, uint8_t model, uint8_t address, const std::string& usbDir);

  TempDir dir_;
  devsim::DevSim sim_;
  std::string error_;
};

#endif
