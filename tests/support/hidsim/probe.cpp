// hidsim-probe: reads an i.MX boot ROM's fingerprint over USB HID and prints
// "init <result> fingerprint <result> <value %016llX>". It links the real hidapi like the updater
// does, so running it with LD_PRELOAD of the stand-in proves that an unmodified program sees the
// simulated device.
#include <stdio.h>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"

int main() {
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
  const int init = loader.init();
  uint64_t fingerprint = 0;
  const int read = init == 0 ? loader.getFingerprint(fingerprint) : -1;
  printf("init %d fingerprint %d %016llX\n", init, read, static_cast<unsigned long long>(fingerprint));
  return 0;
}
