#ifndef TESTLIB_LOOPBACKDISCOVERYRESPONDER_H
#define TESTLIB_LOOPBACKDISCOVERYRESPONDER_H

// The loopback discovery answerer of a link server at port offset k, written from the discovery
// formats: it holds UDP port 9850 + k in group 224.0.0.7 and answers each 4-byte request
// 0xABCDDCBA (host order) by sending `answer` to the group at port 9950 + k. Multicast: use it
// only inside a network namespace (RUN_INSIDE_NETNS).

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>

#include "aLinkSpec.h"

class LoopbackDiscoveryResponder {
 public:
  LoopbackDiscoveryResponder(uint16_t offset, const std::string& answer);
  ~LoopbackDiscoveryResponder();
  LoopbackDiscoveryResponder(const LoopbackDiscoveryResponder&) = delete;
  LoopbackDiscoveryResponder& operator=(const LoopbackDiscoveryResponder&) = delete;

  bool bound() const { return bound_; }
  int requests() const { return requests_; }

  // The 128 bytes of a specifier, as a link server publishes them.
  static std::string BytesOf(const linkSpec& spec) {
    return std::string(reinterpret_cast<const char*>(&spec), sizeof spec);
  }

 private:
  void serve();

  uint16_t offset_;
  std::string answer_;
  int listener_ = -1, sender_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

#endif
