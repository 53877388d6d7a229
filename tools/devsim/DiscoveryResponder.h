#ifndef DEVSIM_DISCOVERYRESPONDER_H
#define DEVSIM_DISCOVERYRESPONDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

constexpr uint16_t kDiscoveryQueryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kDiscoveryDatagram = 16;

// What a network module tells a querier about itself.
struct DiscoveryAnswer {
  uint8_t address;
  uint16_t tcpPort;
  uint32_t serial;
  uint8_t model;
};

// The 16-byte reply datagram (little-endian fields).
std::vector<uint8_t> EncodeDiscoveryReply(const DiscoveryAnswer& answer);
// True for a well-formed network module query.
bool IsDiscoveryQuery(const uint8_t* bytes, size_t n);

// The UDP socket that network modules answer queries on: joined to the multicast group on the
// query port. Only meant to run inside a private network namespace.
class DiscoveryResponder {
 public:
  ~DiscoveryResponder();
  bool open(uint16_t queryPort, std::string* error);
  void close();
  int fd() const { return fd_; }
  // Reads one datagram; true with the querier's IPv4 address (network order) for a query.
  bool receiveQuery(uint32_t* querier);
  void reply(uint32_t querier, uint16_t replyPort, const DiscoveryAnswer& answer);

 private:
  int fd_ = -1;
};

}  // namespace devsim

#endif
