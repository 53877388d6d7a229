#include "afusb.h"

#include <libusb.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>

#include "aUSBContext.h"

// The IN transfer of one device. Reads go through libusb's asynchronous interface so that a
// link that stops (or resynchronises) can cancel a read instead of sitting out its time-out.
struct afusb_reader {
  std::mutex lock;  // inFlight, interrupted, and submitting or cancelling the transfer
  libusb_transfer* transfer = nullptr;
  bool inFlight = false;
  bool interrupted = false;  // asked for while no transfer was in flight
  int completed = 0;         // set by the completion callback on libusb's event thread
};

namespace {

constexpr uint8_t kInterfaceClass = 0xFF;
constexpr uint8_t kInterfaceSubClass = 0x88;
constexpr uint8_t kInterfaceProtocol = 0x10;
constexpr unsigned int kWriteTimeoutMs = 50;
constexpr unsigned int kReadTimeoutMs = 1000;
constexpr int kMaxFailedWrites = 10;
// A transfer of exactly 512 bytes would need a zero-length packet to end it; send 511 instead.
constexpr uint32_t kAvoidedChunk = 512;
// Transient I/O errors are absorbed so the link keeps polling; the fifth in a row fails the
// device for good. A tolerated read delivers nothing, which the caller must hear as "not ready"
// rather than as a byte. A link reads on one thread and writes on another, and both come
// through here, so the counter and the state are accessed atomically.
aErr applyTolerance(afusb_device* device, aErr result, aErr tolerated) {
  if (__atomic_load_n(&device->state, __ATOMIC_ACQUIRE) == AFUSB_STATE_FAILED) return aErrIO;
  if (result != aErrIO) {
    __atomic_store_n(&device->errorCount, 0, __ATOMIC_RELAXED);
    return result;
  }
  if (__atomic_add_fetch(&device->errorCount, 1, __ATOMIC_ACQ_REL) <= AFUSB_TOLERATED_IO_ERRORS) return tolerated;
  __atomic_store_n(&device->state, AFUSB_STATE_FAILED, __ATOMIC_RELEASE);
  return aErrIO;
}

// The state check shared by reads and writes before any transfer.
aErr transferableState(const afusb_device* device) {
  switch (__atomic_load_n(&device->state, __ATOMIC_ACQUIRE)) {
    case AFUSB_STATE_CLAIMED: return aErrNone;
    case AFUSB_STATE_CLOSED: return aErrConnection;
    case AFUSB_STATE_CREATED:
    case AFUSB_STATE_OPENING: return aErrNotReady;
    default: return aErrIO;
  }
}

bool isDataInterface(const libusb_interface_descriptor& setting) {
  return setting.bInterfaceClass == kInterfaceClass && setting.bInterfaceSubClass == kInterfaceSubClass &&
         setting.bInterfaceProtocol == kInterfaceProtocol;
}

const libusb_interface_descriptor* findDataInterface(const libusb_config_descriptor* config) {
  for (int i = 0; i < config->bNumInterfaces; ++i)
    for (int s = 0; s < config->interface[i].num_altsetting; ++s)
      if (isDataInterface(config->interface[i].altsetting[s])) return &config->interface[i].altsetting[s];
  return nullptr;
}

aErr findEndpoints(afusb_device* device, libusb_device* usbDevice) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(usbDevice, 0, &config) != LIBUSB_SUCCESS) return aErrConfiguration;
  const libusb_interface_descriptor* setting = findDataInterface(config);
  bool foundIn = false, foundOut = false;
  for (int e = 0; setting && e < setting->bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor& endpoint = setting->endpoint[e];
    if (!(endpoint.bmAttributes & 0x02)) continue;  // bulk or interrupt only
    const int maxPacket = libusb_get_max_packet_size(usbDevice, endpoint.bEndpointAddress);
    if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
      device->inEndpoint = endpoint.bEndpointAddress;
      device->inMaxPacket = maxPacket > 0 ? static_cast<uint32_t>(maxPacket) : 0;
      foundIn = true;
    } else {
      device->outEndpoint = endpoint.bEndpointAddress;
      device->outMaxPacket = maxPacket > 0 ? static_cast<uint32_t>(maxPacket) : 0;
      foundOut = true;
    }
  }
  if (setting) device->interfaceNumber = setting->bInterfaceNumber;
  libusb_free_config_descriptor(config);
  return foundIn && foundOut && device->outMaxPacket > 0 ? aErrNone : aErrConfiguration;
}

aErr claimError(int code) {
  switch (code) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return aErrBusy;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    default: return aErrUnknown;
  }
}

void dropHandle(afusb_device* device, uint32_t state) {
  libusb_close(device->handle);
  device->handle = nullptr;
  device->state = state;
}

// The device is ours: find its endpoints and claim the data interface.
aErr claimDevice(afusb_device* device, libusb_device_handle* handle) {
  device->handle = handle;
  device->state = AFUSB_STATE_OPENING;
  aErr err = findEndpoints(device, libusb_get_device(handle));
  if (err != aErrNone) {
    dropHandle(device, AFUSB_STATE_CLOSED);
    return err;
  }
  int claimed = libusb_claim_interface(handle, device->interfaceNumber);
  if (claimed != LIBUSB_SUCCESS) {
    dropHandle(device, AFUSB_STATE_CLOSED);
    return claimError(claimed);
  }
  device->state = AFUSB_STATE_CLAIMED;
  device->errorCount = 0;
  device->available = 0;
  return aErrNone;
}

aErr libusbOpen(afusb_device* device, const char* serial) {
  if (device->state < AFUSB_STATE_CREATED) return aErrResource;
  libusb_context* context = Axonforge_libusb_context();
  libusb_device** list = nullptr;
  if (!context || libusb_get_device_list(context, &list) < 0) return aErrNotFound;
  aErr result = aErrNotFound;
  for (libusb_device** d = list; *d; ++d) {
    char found[AFUSB_SERIAL_TEXT_SIZE];
    uint16_t product;
    libusb_device_handle* handle = afusb_open_family_device(*d, found, &product);
    if (!handle) continue;
    if (strcmp(found, serial) != 0) {
      libusb_close(handle);
      continue;
    }
    result = claimDevice(device, handle);
    break;
  }
  libusb_free_device_list(list, 1);
  return result;
}

aErr clearStall(afusb_device* device, uint8_t endpoint) {
  return libusb_clear_halt(device->handle, endpoint) == LIBUSB_SUCCESS ? aErrNone : aErrIO;
}

aErr libusbWrite(afusb_device* device, const uint8_t* bytes, uint32_t length) {
  aErr err = transferableState(device);
  if (err != aErrNone) return err;
  uint32_t sent = 0;
  int failures = 0;
  while (sent < length && failures < kMaxFailedWrites) {
    uint32_t chunk = length - sent < device->outMaxPacket ? length - sent : device->outMaxPacket;
    if (chunk == kAvoidedChunk) chunk = kAvoidedChunk - 1;
    int transferred = 0;
    int code = libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(bytes + sent),
                                    static_cast<int>(chunk), &transferred, kWriteTimeoutMs);
    // Bytes a failed (timed-out) transfer did move are on the device: never send them twice.
    if (transferred > 0) sent += static_cast<uint32_t>(transferred);
    if (code == LIBUSB_SUCCESS) continue;
    ++failures;
    if (code == LIBUSB_ERROR_PIPE && clearStall(device, device->outEndpoint) != aErrNone) err = aErrIO;
  }
  if (sent < length) err = aErrWrite;
  return err;
}

void LIBUSB_CALL sInTransferDone(libusb_transfer* transfer) {
  __atomic_store_n(static_cast<int*>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

// Runs libusb's events until the transfer has completed, as its synchronous transfers do.
void sAwaitCompletion(libusb_transfer* transfer, int* completed) {
  libusb_context* context = Axonforge_libusb_context();
  while (!__atomic_load_n(completed, __ATOMIC_ACQUIRE)) {
    const int code = libusb_handle_events_completed(context, completed);
    if (code < 0 && code != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(transfer);
  }
}

// Submits the IN transfer unless an interruption is pending; false when nothing was submitted
// (*err says why).
bool sSubmitRead(afusb_device* device, aErr* err) {
  afusb_reader& reader = *device->reader;
  std::lock_guard<std::mutex> guard(reader.lock);
  if (reader.interrupted) {
    reader.interrupted = false;
    *err = aErrNotReady;
    return false;
  }
  libusb_fill_bulk_transfer(reader.transfer, device->handle, device->inEndpoint, device->readBuffer,
                            AFUSB_READ_BUFFER_SIZE, sInTransferDone, &reader.completed, kReadTimeoutMs);
  reader.completed = 0;
  if (libusb_submit_transfer(reader.transfer) != LIBUSB_SUCCESS) {
    *err = aErrIO;
    return false;
  }
  reader.inFlight = true;
  return true;
}

aErr libusbFill(afusb_device* device) {
  aErr err = transferableState(device);
  if (err != aErrNone) return err;
  if (!sSubmitRead(device, &err)) return err;
  afusb_reader& reader = *device->reader;
  libusb_transfer* transfer = reader.transfer;
  sAwaitCompletion(transfer, &reader.completed);
  {
    std::lock_guard<std::mutex> guard(reader.lock);
    reader.inFlight = false;
  }
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:  // a time-out (or a cancel) keeps the bytes that did arrive
    case LIBUSB_TRANSFER_CANCELLED:
      break;
    case LIBUSB_TRANSFER_STALL:
      clearStall(device, device->inEndpoint);
      return aErrNotReady;
    default:
      return aErrIO;
  }
  if (transfer->actual_length <= 0) return aErrNotReady;
  device->readPos = device->readBuffer;
  device->available = static_cast<uint32_t>(transfer->actual_length);
  return aErrNone;
}

aErr libusbGet(afusb_device* device, uint8_t* byte) {
  aErr err = device->available == 0 ? libusbFill(device) : aErrNone;
  if (err == aErrNone) {
    *byte = *device->readPos++;
    device->available--;
  }
  return err;
}

aErr libusbClose(afusb_device* device) {
  if (!device->handle) return aErrMode;
  libusb_release_interface(device->handle, device->interfaceNumber);
  dropHandle(device, AFUSB_STATE_CLOSED);
  device->inEndpoint = device->outEndpoint = device->interfaceNumber = 0;
  device->available = 0;
  return aErrNone;
}

}  // namespace

bool is_axonforge_device(uint16_t idVendor, uint16_t idProduct) {
  return idVendor == AFUSB_VENDOR_ID && !(idProduct & 0x8000);
}

libusb_device_handle* afusb_open_family_device(libusb_device* device, char* serial, uint16_t* idProduct) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
      !is_axonforge_device(descriptor.idVendor, descriptor.idProduct))
    return nullptr;
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return nullptr;
  int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, reinterpret_cast<unsigned char*>(serial),
                                             AFUSB_SERIAL_TEXT_SIZE);
  if (n < 0) {
    libusb_close(handle);
    return nullptr;
  }
  serial[n < AFUSB_SERIAL_TEXT_SIZE ? n : AFUSB_SERIAL_TEXT_SIZE - 1] = 0;
  *idProduct = descriptor.idProduct;
  return handle;
}

afusb_device* afusb_create_usb(void) {
  if (!Axonforge_libusb_context()) return nullptr;
  afusb_device* device = static_cast<afusb_device*>(calloc(1, sizeof(afusb_device)));
  if (!device) return nullptr;
  device->reader = new (std::nothrow) afusb_reader;
  if (device->reader) device->reader->transfer = libusb_alloc_transfer(0);
  if (!device->reader || !device->reader->transfer) {
    delete device->reader;
    free(device);
    return nullptr;
  }
  device->state = AFUSB_STATE_CREATED;
  return device;
}

aErr afusb_open_axonforge_device(afusb_device* device, const char* serial) {
  if (!device || !serial) return aErrParam;
  if (device->handle) return aErrBusy;  // already open: keep what is held
  snprintf(device->serial, sizeof device->serial, "%s", serial);
  return libusbOpen(device, serial);
}

aErr afusb_write_to_device(afusb_device* device, const uint8_t* bytes, uint32_t length) {
  if (!device || (!bytes && length > 0)) return aErrParam;
  return applyTolerance(device, libusbWrite(device, bytes, length), aErrNone);
}

aErr afusb_get_from_device(afusb_device* device, uint8_t* byte) {
  if (!device || !byte) return aErrParam;
  return applyTolerance(device, libusbGet(device, byte), aErrNotReady);
}

aErr afusb_interrupt(afusb_device* device) {
  if (!device || !device->reader) return aErrParam;
  afusb_reader& reader = *device->reader;
  std::lock_guard<std::mutex> guard(reader.lock);
  // A transfer that has just completed cannot be cancelled; its reader is returning anyway.
  if (!reader.inFlight || libusb_cancel_transfer(reader.transfer) != LIBUSB_SUCCESS) reader.interrupted = true;
  return aErrNone;
}

aErr afusb_close_axonforge_device(afusb_device* device) {
  if (!device) return aErrParam;
  return libusbClose(device);
}

aErr afusb_destroy(afusb_device** device) {
  if (!device || !*device) return aErrParam;
  if ((*device)->handle) libusbClose(*device);
  if ((*device)->reader) libusb_free_transfer((*device)->reader->transfer);
  delete (*device)->reader;
  free(*device);
  *device = nullptr;
  return aErrNone;
}
