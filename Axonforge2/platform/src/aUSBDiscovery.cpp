#include "aUSBDiscovery.h"

#include <libusb.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "aUSBContext.h"
#include "afusb.h"

namespace {

constexpr size_t kSerialDigits = 8;

bool isSerialText(const char* text) {
  if (strlen(text) != kSerialDigits) return false;
  for (size_t i = 0; i < kSerialDigits; ++i)
    if (!isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// Builds the specifier of one device; false when it is not a family device with a serial.
bool describe(libusb_device* device, linkSpec* spec) {
  char serial[AFUSB_SERIAL_TEXT_SIZE];
  uint16_t product = 0;
  libusb_device_handle* handle = afusb_open_family_device(device, serial, &product);
  if (!handle) return false;
  libusb_close(handle);
  if (!isSerialText(serial)) return false;
  *spec = linkSpec{};
  spec->type = USB;
  spec->serialNumber = static_cast<uint32_t>(strtoul(serial, nullptr, 16));
  spec->model = product & 0xFF;
  spec->usbId = spec->serialNumber;
  return true;
}

}  // namespace

int aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* reference) {
  libusb_context* context = Axonforge_libusb_context();
  libusb_device** list = nullptr;
  if (!context || libusb_get_device_list(context, &list) < 0) return 0;
  int count = 0;
  for (libusb_device** d = list; *d; ++d) {
    linkSpec spec;
    if (describe(*d, &spec) && !aDiscovery_Report(&spec, callback, reference, &count)) break;
  }
  libusb_free_device_list(list, 1);
  return count;
}
