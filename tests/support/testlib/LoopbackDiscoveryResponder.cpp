#include "LoopbackDiscoveryResponder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct sockaddr_in SocketAddress(uint32_t ip, uint16_t port) {
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ip;
  a.sin_port = htons(port);
  return a;
}

}  // namespace

LoopbackDiscoveryResponder::LoopbackDiscoveryResponder(uint16_t offset, const std::string& answer)
    : offset_(offset), answer_(answer) {
  listener_ = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in local = SocketAddress(htonl(INADDR_ANY), 9850 + offset);
  struct ip_mreq membership;
  inet_pton(AF_INET, "224.0.0.7", &membership.imr_multiaddr);
  membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
  bound_ = bind(listener_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0 &&
           setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  sender_ = socket(AF_INET, SOCK_DGRAM, 0);
  struct in_addr loopback;
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  thread_ = std::thread([this] { serve(); });
}

LoopbackDiscoveryResponder::~LoopbackDiscoveryResponder() {
  stop_ = true;
  thread_.join();
  close(listener_);
  close(sender_);
}

void LoopbackDiscoveryResponder::serve() {
  while (!stop_) {
    struct pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint32_t request = 0;
    if (recv(listener_, &request, sizeof request, 0) != sizeof request || request != 0xABCDDCBAu) continue;
    ++requests_;
    struct sockaddr_in group = SocketAddress(0, 9950 + offset_);
    inet_pton(AF_INET, "224.0.0.7", &group.sin_addr);
    sendto(sender_, answer_.data(), answer_.size(), 0, reinterpret_cast<struct sockaddr*>(&group), sizeof group);
  }
}
