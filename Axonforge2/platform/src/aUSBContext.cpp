#include "aUSBContext.h"

#include <libusb.h>

#include <mutex>

namespace {

std::mutex contextLock;
libusb_context* context = nullptr;

}  // namespace

libusb_context* Axonforge_libusb_context(void) {
  std::lock_guard<std::mutex> guard(contextLock);
  if (!context && libusb_init(&context) != LIBUSB_SUCCESS) context = nullptr;
  return context;
}

aErr Axonforge_libusb_init(void) { return Axonforge_libusb_context() ? aErrNone : aErrInitialization; }

void Axonforge_libusb_exit(void) {
  std::lock_guard<std::mutex> guard(contextLock);
  if (context) libusb_exit(context);
  context = nullptr;
}
