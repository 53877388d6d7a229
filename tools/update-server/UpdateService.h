#ifndef TOOLS_UPDATESERVER_UPDATESERVICE_H
#define TOOLS_UPDATESERVER_UPDATESERVICE_H

#include <map>
#include <string>

#include "FirmwareIndex.h"

struct ServiceReply {
  int status = 200;
  std::string body;
};

// Answers the update protocol's questions from a firmware directory and its index.
// Replies are line-feed separated text whose first line is "ok" on success or
// "error: <reason>" otherwise. Malformed requests get HTTP 400, a firmware file that
// cannot be read 500; a device or build the index does not know is a 200 "error:" reply.
// Read-only after construction, so one instance serves all request threads.
class UpdateService {
 public:
  UpdateService(std::string root, FirmwareIndex index);

  // query: the decoded query parameters (op, sn, bld, fp, ...).
  ServiceReply Handle(const std::map<std::string, std::string>& query) const;

 private:
  ServiceReply Hello() const;
  ServiceReply CurrentBuild(uint32_t serial) const;
  ServiceReply BuildList(uint32_t serial) const;
  ServiceReply BuildFile(uint32_t serial, const std::string& buildText) const;
  ServiceReply Recovery(const std::string& fingerprintText) const;

  std::string root_;
  FirmwareIndex index_;
};

#endif
