#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "Sockets.h"

namespace devsim {

namespace {
constexpr uint8_t kQueryMarker = 1;
constexpr uint8_t kReplyMarker = 2;
}  // namespace

std::vector<uint8_t> EncodeDiscoveryReply(const DiscoveryAnswer& a) {
  std::vector<uint8_t> d(kDiscoveryDatagram, 0);
  d[0] = kReplyMarker;
  d[1] = a.address;
  d[2] = static_cast<uint8_t>(a.tcpPort);
  d[3] = static_cast<uint8_t>(a.tcpPort >> 8);
  for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(a.serial >> (8 * i));
  d[12] = a.model;
  return d;
}

bool IsDiscoveryQuery(const uint8_t* bytes, size_t n) { return n >= 1 && bytes[0] == kQueryMarker; }

DiscoveryResponder::~DiscoveryResponder() { close(); }

bool DiscoveryResponder::open(uint16_t queryPort, std::string* error) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(queryPort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  // No SO_REUSEADDR: a second responder on the same port must fail, not share the queries.
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = "cannot bind the discovery port " + std::to_string(queryPort) + ": " + ErrnoText(errno);
    close();
    return false;
  }
  ip_mreq group{};
  inet_pton(AF_INET, kDiscoveryGroup, &group.imr_multiaddr);
  group.imr_interface.s_addr = htonl(INADDR_ANY);
  if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
    *error = std::string("cannot join ") + kDiscoveryGroup + ": " + ErrnoText(errno);
    close();
    return false;
  }
  return true;
}

void DiscoveryResponder::close() { CloseFd(fd_); }

bool DiscoveryResponder::receiveQuery(uint32_t* querier) {
  uint8_t buffer[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n <= 0 || !IsDiscoveryQuery(buffer, static_cast<size_t>(n))) return false;
  *querier = from.sin_addr.s_addr;
  return true;
}

void DiscoveryResponder::reply(uint32_t querier, uint16_t replyPort, const DiscoveryAnswer& answer) {
  std::vector<uint8_t> datagram = EncodeDiscoveryReply(answer);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(replyPort);
  to.sin_addr.s_addr = querier;
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace devsim
