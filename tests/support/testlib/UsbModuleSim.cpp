#include "UsbModuleSim.h"

#include <stdlib.h>

UsbModuleSim::UsbModuleSim(uint32_t serial, uint8_t model, uint8_t address)
    : sim_(Config(serial, model, address, dir_.path())) {
  if (sim_.start(&error_)) setenv("AXONFORGE_USBSIM_DIR", dir_.path().c_str(), 1);
  else if (error_.empty()) error_ = "the simulator did not start";
}

UsbModuleSim::~UsbModuleSim() {
  unsetenv("AXONFORGE_USBSIM_DIR");
  sim_.stop();
}

devsim::DevSimConfig UsbModuleSim::Config(uint32_t serial, uint8_t model, uint8_t address,
                                                const std::string& usbDir) {
  devsim::ModuleSpec module;
  module.serial = serial;
  module.model = model;
  module.address = address;
  module.usb = true;
  devsim::DevSimConfig config;
  config.usbDir = usbDir;
  config.modules.push_back(module);
  return config;
}
