#include "aUSBStream.h"

#include <stdio.h>
#include <stdlib.h>

#include "aUSBKernelStream.h"
#include "afusb.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStream {
  uint32_t serialNumber;
  afusb_device* device;
  uint16_t check;
};

USBStream* valid(void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  return s && s->check == kUSBStreamCheck ? s : nullptr;
}

aErr sUSBGet(uint8_t* byte, void* reference) {
  USBStream* s = valid(reference);
  return s ? afusb_get_from_device(s->device, byte) : aErrParam;
}

aErr sUSBWrite(const uint8_t* bytes, size_t length, void* reference) {
  USBStream* s = valid(reference);
  if (!s || length > UINT32_MAX) return aErrParam;
  return afusb_write_to_device(s->device, bytes, static_cast<uint32_t>(length));
}

aErr sUSBPut(uint8_t byte, void* reference) { return sUSBWrite(&byte, 1, reference); }

aErr sUSBInterrupt(void* reference) {
  USBStream* s = valid(reference);
  return s ? afusb_interrupt(s->device) : aErrParam;
}

aErr sUSBDelete(void* reference) {
  USBStream* s = valid(reference);
  if (!s) return aErrParam;
  // The stream record goes away whatever the close says, so the device record must too.
  aErr err = afusb_close_axonforge_device(s->device);
  afusb_destroy(&s->device);
  s->check = 0;
  free(s);
  return err;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (!stream || serialNumber == 0) return aErrParam;
  *stream = nullptr;
  if (aUSBKernelStream_NodeExists(serialNumber)) return aUSBKernelStream_Create(serialNumber, stream);
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);
  USBStream* s = static_cast<USBStream*>(calloc(1, sizeof(USBStream)));
  if (!s) return aErrMemory;
  s->serialNumber = serialNumber;
  s->check = kUSBStreamCheck;
  s->device = afusb_create_usb();
  if (!s->device) {
    free(s);
    return aErrResource;
  }
  aErr err = afusb_open_axonforge_device(s->device, serial);
  if (err == aErrNone) {
    *stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
    if (*stream) return aStream_SetInterrupt(*stream, sUSBInterrupt);
    afusb_close_axonforge_device(s->device);
    err = aErrMemory;
  }
  afusb_destroy(&s->device);
  free(s);
  return err;
}
