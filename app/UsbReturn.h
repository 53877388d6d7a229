#ifndef UPDATER_USBRETURN_H
#define UPDATER_USBRETURN_H

#include <cstdint>

// A device that restarts (into its loader, or into new firmware) leaves USB and comes back.
// The update flow waits a fixed time between connection attempts; these waits end as soon as
// the device is listed on USB again, so that the next attempt does not wait for nothing.

// Waits up to timeoutMs for the USB device with this serial number to be listed. With
// mustReappear, a device listed already does not count until it has been missing once (a failed
// attempt on a listed device is not helped by trying again at once). True when it is listed.
bool AwaitUsbDevice(uint32_t serialNumber, uint32_t timeoutMs, bool mustReappear);

#endif
