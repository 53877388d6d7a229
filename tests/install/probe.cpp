// A program of someone else's, built against an installed Axonforge2: connects to one module over
// TCP, asks its system entity for serial number, model and firmware version, and prints them.
// Usage: probe ADDRESS PORT

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "Module.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aVersion.h"
#include "aWeaveConfig.h"

using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

int main(int argc, char** argv) {
  linkSpec spec{};
  spec.type = TCPIP;
  if (argc != 3 || inet_pton(AF_INET, argv[1], &spec.ipAddress) != 1) {
    std::fprintf(stderr, "usage: probe ADDRESS PORT\n");
    return 2;
  }
  spec.ipPort = static_cast<uint32_t>(std::atoi(argv[2]));

  Module module(2, 0);
  Tessaron::Axonforge::aWeaveConfig direct;  // no link server, no search on another transport
  direct.enabled = false;
  direct.fallback = false;
  aErr err = module.setConfig(direct);
  if (err == aErrNone) err = module.connectFromSpec(spec);
  SystemClass system;
  uint32_t serial = 0, version = 0;
  uint8_t model = 0;
  if (err == aErrNone) err = system.init(&module, 0);
  if (err == aErrNone) err = system.getSerialNumber(&serial);
  if (err == aErrNone) err = system.getModel(&model);
  if (err == aErrNone) err = system.getVersion(&version);
  module.disconnect();
  if (err != aErrNone) {
    std::fprintf(stderr, "probe: %s\n", aError_GetErrorDescription(err));
    return 1;
  }
  char versionText[32];
  aVersion_ParseString(version, versionText, sizeof versionText);
  std::printf("%08X %s %s\n", serial, aDefs_GetModelName(model), versionText);
  return 0;
}
