#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "I2CClass.h"
#include "LinkTypeName.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Tessaron::Axonforge::I2CClass;
using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;
using Tessaron::Axonforge::aWeaveConfig;
using Tessaron::Axonforge::kLoopbackInterface;

namespace {

// A fresh module is opened at address 2; networking mode then learns its real address.
constexpr uint8_t kDefaultModuleAddress = 2;
// Modules behind a router sit at even bus addresses 2..252.
constexpr unsigned kFirstBusAddress = 2;
constexpr unsigned kLastBusAddress = 252;
// The fastest I2C bus speed, and the two bytes written to see whether an address answers.
constexpr uint8_t kProbeSpeed = 3;
const uint8_t kProbe[2] = {0x00, 0x00};
// Bytes of a linkSpec after the common fields: the transport's address part.
constexpr size_t kTransportOffset = offsetof(linkSpec, usbId);


struct SpecRelease {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using FoundSpec = std::unique_ptr<linkSpec, SpecRelease>;

// Collects every device found into the caller's vector.
uint8_t _discovered_device(const linkSpec* spec, uint8_t* matched, void* reference) {
  DeviceInfo info;
  info.spec = *spec;
  static_cast<std::vector<DeviceInfo>*>(reference)->push_back(info);
  *matched = 1;
  return 1;
}

struct LinkTypeSearch {
  uint32_t serialNumber;
  linkType found;
};

// Stops at the device with the serial number sought and records its transport.
uint8_t _find_link_type(const linkSpec* spec, uint8_t* matched, void* reference) {
  LinkTypeSearch* search = static_cast<LinkTypeSearch*>(reference);
  *matched = 1;
  if (spec->serialNumber != search->serialNumber) return 1;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->found = spec->type;
  return 0;
}

// Build, version, module and router of a connected module; the first failure lands in error.
void sReadDevice(Module& module, DeviceInfo& info) {
  info.build = Updater::_get_build_number(module);
  info.error = Updater::_get_version(module, info);
}

// Connects to a directly reachable device and reads what the listing shows.
void sProbeDirectDevice(Module& module, DeviceInfo& info) {
  info.error = module.connectFromSpec(info.spec);
  if (info.error != aErrNone) return;
  sReadDevice(module, info);
  module.disconnect();
}

// Probes every device at once, each on a thread of its own: most of a probe is waiting on the
// device, and the devices do not depend on each other. Modules are prepared on the calling
// thread, which alone talks to the display.
void sProbeDirectDevices(std::vector<DeviceInfo>& devices, UpdaterDisplayInterface& display) {
  std::vector<std::unique_ptr<Module>> modules;
  std::vector<std::thread> probes;
  for (DeviceInfo& info : devices) {
    info.modelName = aDefs_GetModelName(info.spec.model);
    modules.push_back(std::make_unique<Module>(kDefaultModuleAddress, 0));
    Module& module = *modules.back();
    if (Updater::_disableEther(module, display) != aErrNone) continue;
    try {
      probes.emplace_back(sProbeDirectDevice, std::ref(module), std::ref(info));
    } catch (const std::system_error&) {
      sProbeDirectDevice(module, info);  // no thread to spare: probe it here
    }
  }
  for (std::thread& probe : probes) probe.join();
}

// Connects through the router to the module answering at a bus address; false when none does.
bool sProbeBusAddress(Module& router, const linkSpec& routerSpec, uint8_t address, linkType type,
                      UpdaterDisplayInterface& display, DeviceInfo& info) {
  Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
  Module module(address, false, 0);
  // Its result does not matter: a module on the router's bus takes over the router's settings.
  Updater::_disableEther(module, display);
  if (module.connectThroughLinkModule(router) != aErrNone) return false;
  SystemClass system;
  system.init(&module, 0);
  uint32_t serialNumber = 0;
  if (system.getSerialNumber(&serialNumber) != aErrNone) {
    module.disconnect();
    return false;
  }
  Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);
  // The transport part comes from the router, so a network router's address shows for each.
  std::memcpy(reinterpret_cast<uint8_t*>(&info.spec) + kTransportOffset,
              reinterpret_cast<const uint8_t*>(&routerSpec) + kTransportOffset, sizeof(linkSpec) - kTransportOffset);
  info.spec.type = type;
  info.spec.serialNumber = serialNumber;
  info.spec.module = address;  // until the device names its own address
  info.spec.router = router.getModuleAddress();
  info.spec.routerSerialNumber = routerSpec.serialNumber;
  info.scanAddress = address;
  sReadDevice(module, info);
  uint8_t model = 0;
  aErr modelResult = system.getModel(&model);
  if (modelResult != aErrNone) {
    info.error = modelResult;
  } else {
    info.spec.model = model;
    info.modelName = aDefs_GetModelName(model);
  }
  module.disconnect();
  return true;
}

// Model, firmware version and build, common to the plain and the network line.
void sDeviceLine(UpdaterDisplayInterface& display, const DeviceInfo& device, const char* suffix) {
  const linkSpec& spec = device.spec;
  display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)%s",
                  spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                  static_cast<int>(device.versionMajor), static_cast<int>(device.versionMinor),
                  static_cast<int>(device.versionPatch), device.build, suffix);
}

void sNetworkDeviceLine(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  // The address is in network order: its first byte in memory is the first number.
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(&device.spec.ipAddress);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " [%u.%u.%u.%u]", ip[0], ip[1], ip[2], ip[3]);
  sDeviceLine(display, device, suffix);
}

}  // namespace

aErr Updater::_disableEther(Module& module, UpdaterDisplayInterface& display) {
  aWeaveConfig config;
  config.enabled = false;
  config.fallback = false;
  config.localOnly = true;
  aErr result = module.setConfig(config);
  if (result != aErrNone) display.message(kError, "Failed to SET network configuration");
  return result;
}

uint32_t Updater::_get_build_number(Module& module) {
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr Updater::_get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr result = system.getVersion(&version);
  if (result != aErrNone) return result;
  info.versionMajor = static_cast<uint8_t>(aVersion_ParseMajor(version));
  info.versionMinor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  info.versionPatch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  if ((result = system.getModule(&address)) != aErrNone) return result;
  info.spec.module = address;
  if ((result = system.getRouter(&address)) != aErrNone) return result;
  info.spec.router = address;
  return aErrNone;
}

linkType Updater::_discover_link_type(uint32_t serialNumber) {
  LinkTypeSearch search{serialNumber, INVALID};
  for (linkType type : {USB, TCPIP}) {
    aDiscovery_EnumerateModules(type, _find_link_type, &search, kLoopbackInterface);
    if (search.found != INVALID) break;
  }
  return search.found;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  const std::vector<linkType> transports = type != INVALID ? std::vector<linkType>{type}
                                                           : std::vector<linkType>{USB, TCPIP};
  for (linkType transport : transports)
    aDiscovery_EnumerateModules(transport, _discovered_device, &devices, kLoopbackInterface);
  sProbeDirectDevices(devices, display);
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_AFNetwork_Devices(uint32_t routerSerial, linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == INVALID) type = _discover_link_type(routerSerial);
  FoundSpec routerSpec(aDiscovery_FindModule(type, routerSerial, kLoopbackInterface));
  if (!routerSpec) return devices;
  Log::log(DEBUG_Updater, "Found Link Module\n");

  Module router(kDefaultModuleAddress, 0);
  _disableEther(router, display);
  aErr result = router.connectFromSpec(*routerSpec);
  if (result != aErrNone) {
    display.message(kError, "Error %d on connectFromSpec", static_cast<int>(result));
    return devices;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  if ((result = routerSystem.routeToMe(1)) != aErrNone) {
    display.message(kError, "Error %d on route to me", static_cast<int>(result));
    router.disconnect();
    return devices;
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kProbeSpeed);
  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
    if (address == routerAddress) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    if (bus.write(static_cast<uint8_t>(address), sizeof kProbe, kProbe) != aErrNone) continue;
    DeviceInfo info;
    if (sProbeBusAddress(router, *routerSpec, static_cast<uint8_t>(address), type, display, info))
      devices.push_back(info);
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}

void Updater::_display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                                   linkType type) {
  display.message(kInfo, "Discovered Devices: (%s)", LinkTypeName(type));
  if (devices.empty()) {
    display.message(kInfo, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)");
  else
    display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  for (const DeviceInfo& device : devices) {
    if (device.spec.type == TCPIP)
      sNetworkDeviceLine(display, device);
    else if (device.error != 0)
      display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]",
                      device.spec.serialNumber, static_cast<int>(device.error));
    else
      sDeviceLine(display, device, "");
  }
}
