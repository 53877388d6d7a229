// usbsim-probe: prints the USB modules the device library finds, one "%08X model" line each.
// It links the real libusb like the updater does, so running it with LD_PRELOAD of the stand-in
// proves that an unmodified program sees the simulated devices.
#include <stdio.h>

#include "aDiscovery.h"

static uint8_t printModule(const linkSpec* spec, uint8_t* matched, void*) {
  printf("%08X %u\n", spec->serialNumber, spec->model);
  *matched = 1;
  return 1;
}

int main() {
  int found = aDiscovery_EnumerateModules(USB, printModule, nullptr, 0);
  printf("found %d\n", found);
  return 0;
}
