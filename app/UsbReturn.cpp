#include "UsbReturn.h"

#include "aDiscovery.h"
#include "aLinkSpec.h"
#include "aTime.h"
#include "aWeaveConfig.h"

namespace {

// How often the bus is listed while waiting; a listing opens each family device briefly.
constexpr uint32_t kListIntervalMs = 20;

bool sListed(uint32_t serialNumber) {
  linkSpec* found = aDiscovery_FindModule(USB, serialNumber, Tessaron::Axonforge::kLoopbackInterface);
  if (found == nullptr) return false;
  aLinkSpec_Destroy(&found);
  return true;
}

}  // namespace

bool AwaitUsbDevice(uint32_t serialNumber, uint32_t timeoutMs, bool mustReappear) {
  const uint32_t start = aTime_GetMSTicks();
  bool missing = !mustReappear;
  for (;;) {
    const bool listed = sListed(serialNumber);
    if (listed && missing) return true;
    if (!listed) missing = true;
    const uint32_t waited = aTime_GetMSTicks() - start;
    if (waited >= timeoutMs) return false;
    const uint32_t left = timeoutMs - waited;
    aTime_MSSleep(left < kListIntervalMs ? left : kListIntervalMs);
  }
}
