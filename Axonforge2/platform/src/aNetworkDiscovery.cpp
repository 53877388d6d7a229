#include "aNetworkDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kReplyTimeoutSeconds = 2;
constexpr size_t kModelOffset = 12;
constexpr size_t kMinimumReply = 8;  // address, port and serial number
constexpr uint32_t kUnknownModel = 255;

uint32_t littleEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

int openReplyListener() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  struct timeval timeout = {kReplyTimeoutSeconds, 0};
  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the query through one interface (INADDR_ANY: the default one); true when it went out.
bool sendQuery(struct in_addr interfaceAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  uint8_t query[aDISCOVERY_QUERY_SIZE] = {1};
  struct sockaddr_in group;
  memset(&group, 0, sizeof group);
  group.sin_family = AF_INET;
  group.sin_port = htons(aDISCOVERY_QUERY_PORT);
  inet_pton(AF_INET, aDISCOVERY_QUERY_GROUP, &group.sin_addr);
  bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              (interfaceAddress.s_addr == htonl(INADDR_ANY) ||
               setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress, sizeof interfaceAddress) == 0) &&
              sendto(fd, query, sizeof query, 0, reinterpret_cast<struct sockaddr*>(&group), sizeof group) ==
                  static_cast<ssize_t>(sizeof query);
  close(fd);
  return sent;
}

bool isEligible(const struct ifaddrs* entry) {
  if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) return false;
  const in_addr_t address = reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
  return address != htonl(INADDR_LOOPBACK) && address != htonl(INADDR_ANY);
}

// Queries through every eligible interface; the number of queries that went out.
int sendQueries() {
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return sendQuery(any) ? 1 : 0;
  }
  int sent = 0;
  for (const struct ifaddrs* entry = interfaces; entry; entry = entry->ifa_next)
    if (isEligible(entry) && sendQuery(reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr)->sin_addr)) ++sent;
  freeifaddrs(interfaces);
  return sent;
}

}  // namespace

bool aDiscovery_ParseModuleReply(const uint8_t* reply, size_t length, uint32_t sourceAddress, linkSpec* spec) {
  if (!reply || !spec || length < kMinimumReply) return false;
  *spec = linkSpec{};
  spec->type = TCPIP;
  spec->module = spec->router = reply[1];
  spec->ipPort = littleEndian(reply + 2, 2);
  spec->serialNumber = spec->routerSerialNumber = littleEndian(reply + 4, 4);
  spec->model = length > kModelOffset ? reply[kModelOffset] : kUnknownModel;
  spec->ipAddress = sourceAddress;
  return true;
}

int aDiscovery_EnumerateNetworkModules(aDiscoveryModuleFoundProc callback, void* reference) {
  int listener = openReplyListener();
  if (listener < 0) return 0;
  int count = 0;
  if (sendQueries() > 0) {
    for (;;) {
      uint8_t reply[aDISCOVERY_REPLY_SIZE];
      struct sockaddr_in source;
      socklen_t sourceLength = sizeof source;
      ssize_t n = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<struct sockaddr*>(&source), &sourceLength);
      if (n < 0) break;
      linkSpec spec;
      if (aDiscovery_ParseModuleReply(reply, static_cast<size_t>(n), source.sin_addr.s_addr, &spec) &&
          !aDiscovery_Report(&spec, callback, reference, &count))
        break;
    }
  }
  close(listener);
  return count;
}
