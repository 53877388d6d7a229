#ifndef AXONFORGE2_AUSBCONTEXT_H
#define AXONFORGE2_AUSBCONTEXT_H

#include "aError.h"

struct libusb_context;

#ifdef __cplusplus
extern "C" {
#endif

// The process's one libusb context, created on first use; null when libusb cannot start.
struct libusb_context* Axonforge_libusb_context(void);
// Creates the context now rather than on first use.
aErr Axonforge_libusb_init(void);
// Releases the context; the next use creates a new one. Call only when no USB stream is open.
void Axonforge_libusb_exit(void);

#ifdef __cplusplus
}
#endif

#endif
