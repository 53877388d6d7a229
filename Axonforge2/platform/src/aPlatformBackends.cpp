// The tables through which the link core reaches this platform's transports and
// discovery mechanisms, and its link servers.

#include "aClientStream.h"
#include "aDiscoveryBackend.h"
#include "aNetworkDiscovery.h"
#include "aSerialStream.h"
#include "aServer.h"
#include "aSharedLinkDiscovery.h"
#include "aSocketStream.h"
#include "aTransport.h"
#include "aUSBDiscovery.h"
#include "aUSBStream.h"

namespace {

aErr sOpenSerial(const char* portName, uint32_t rateCode, aStream** stream) {
  return aStream_CreateSerial(portName, rateCode, false, 0, 0, stream);
}

}  // namespace

const aTransportTable aPlatformTransports = {aStream_CreateUSB, aStream_CreateSocket, sOpenSerial,
                                            aStream_CreateClient};

const aServerTable aPlatformServers = {aServer_Create,           aServer_Start,
                                       aServer_GetPort,          aServer_GetInterface,
                                       aServer_SetModuleAddress, aServer_SetModel,
                                       aServer_FlushFIFO,        aServer_Destroy};

const aDiscoveryTable aPlatformDiscovery = {aDiscovery_EnumerateUSBModules, aDiscovery_EnumerateNetworkModules,
                                            aDiscovery_Enumerate_aWeaveModules};
