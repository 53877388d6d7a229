#include "aDiscovery.h"

#include "aDiscoveryBackend.h"

namespace {

struct FindRequest {
  bool anySerial;
  uint32_t serialNumber;
  linkSpec* found;
};

uint8_t sFindFirst(const linkSpec* spec, uint8_t* matched, void* reference) {
  FindRequest* request = static_cast<FindRequest*>(reference);
  const bool wanted = request->anySerial ? spec->serialNumber != 0 : spec->serialNumber == request->serialNumber;
  if (!wanted) return 1;
  request->found = aLinkSpec_Copy(*spec);
  *matched = 1;
  return 0;
}

linkSpec* find(linkType type, bool anySerial, uint32_t serialNumber, uint32_t networkInterface) {
  FindRequest request = {anySerial, serialNumber, nullptr};
  aDiscovery_EnumerateModules(type, sFindFirst, &request, networkInterface);
  return request.found;
}

}  // namespace

bool aDiscovery_Report(const linkSpec* spec, aDiscoveryModuleFoundProc callback, void* reference, int* count) {
  uint8_t matched = 0;
  const bool goOn = callback(spec, &matched, reference) != 0;
  if (matched) ++*count;
  return goOn;
}

int aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                uint32_t networkInterface) {
  if (!callback) return 0;
  switch (type) {
    case USB: return aPlatformDiscovery.enumerateUSB(callback, reference);
    case TCPIP: return aPlatformDiscovery.enumerateNetwork(callback, reference);
    case AWEAVE: return aPlatformDiscovery.enumerateShared(callback, reference, networkInterface);
    default: return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return find(type, false, serialNumber, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return find(type, true, 0, networkInterface);
}
