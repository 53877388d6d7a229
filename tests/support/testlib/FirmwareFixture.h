#ifndef TESTLIB_FIRMWAREFIXTURE_H
#define TESTLIB_FIRMWAREFIXTURE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "UpdateProtocolServer.h"

// A firmware directory as tools/update-server serves it (index.txt and one BIRD file per build),
// for one device. The files are generic images of the device's model made on the spot, each
// carrying the device simulator's version marker of its build, so that a simulated device
// updated with one reports that build afterwards.
class FirmwareFixture {
 public:
  struct Build {
    uint32_t build;
    std::string version;  // major.minor.patch
  };

  // Creates <parent>/firmware; model is a model number (aDefs_GetModelName names it).
  FirmwareFixture(const std::string& parent, uint32_t serial, uint32_t model, const std::vector<Build>& builds);

  const std::string& root() const { return root_; }
  // The bytes of a build's file, as the server sends them.
  std::string FileBytes(uint32_t build) const;
  // Answers with the logic of tools/update-server over this directory, except the operations
  // (by "op") that `overrides` answers itself.
  UpdateProtocolServer::Handler Handler(std::map<std::string, UpdateProtocolServer::Handler> overrides = {}) const;

 private:
  std::string root_;
};

#endif
