#ifndef AXONFORGE2_AFUSB_H
#define AXONFORGE2_AFUSB_H

// A family USB device opened by its serial number through libusb: bulk transfers on the vendor
// interface. Internal to the platform layer; the USB stream is built on it.

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

struct libusb_device;
struct libusb_device_handle;
struct afusb_reader;

#define AFUSB_VENDOR_ID 0x24FF
#define AFUSB_SERIAL_TEXT_SIZE 33    // serial-number string descriptor, ASCII, NUL-terminated
#define AFUSB_READ_BUFFER_SIZE 1024

// Device states.
#define AFUSB_STATE_CREATED 1
#define AFUSB_STATE_CLOSED 2
#define AFUSB_STATE_OPENING 3
#define AFUSB_STATE_CLAIMED 4
#define AFUSB_STATE_FAILED 5

// Consecutive I/O errors absorbed before a device counts as failed.
#define AFUSB_TOLERATED_IO_ERRORS 4

typedef struct afusb_device {
  char serial[AFUSB_SERIAL_TEXT_SIZE];
  struct libusb_device_handle* handle;
  uint32_t state;
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t readBuffer[AFUSB_READ_BUFFER_SIZE];
  const uint8_t* readPos;
  uint32_t available;
  uint8_t errorCount;
  uint32_t inMaxPacket;
  uint32_t outMaxPacket;
  struct afusb_reader* reader;  // the IN transfer in flight, which another thread may cancel
} afusb_device;

#ifdef __cplusplus
extern "C" {
#endif

// Family devices: vendor 0x24FF with a product id below 0x8000.
bool is_axonforge_device(uint16_t idVendor, uint16_t idProduct);
// Opens a family device and reads its serial-number string into serial (AFUSB_SERIAL_TEXT_SIZE
// bytes) and its product id; null for other devices or when either step fails.
struct libusb_device_handle* afusb_open_family_device(struct libusb_device* device, char* serial,
                                                      uint16_t* idProduct);

// A zeroed record in state 1; the shared libusb context is created. Null without memory or
// context.
afusb_device* afusb_create_usb(void);
aErr afusb_open_axonforge_device(afusb_device* device, const char* serial);
aErr afusb_write_to_device(afusb_device* device, const uint8_t* bytes, uint32_t length);
// Delivers one byte; aErrNotReady when none came within the transport's wait (1000 ms), or
// when afusb_interrupt cut the wait short.
aErr afusb_get_from_device(afusb_device* device, uint8_t* byte);
// Cancels the IN transfer a reader is waiting on, or makes the next read return aErrNotReady at
// once when none is in flight. Any thread; the device must stay open until the reader returns.
aErr afusb_interrupt(afusb_device* device);
aErr afusb_close_axonforge_device(afusb_device* device);
// Closes a libusb handle still open, frees the record and nulls the caller's pointer.
aErr afusb_destroy(afusb_device** device);

#ifdef __cplusplus
}
#endif

#endif
