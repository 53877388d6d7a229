#include "LinkStreamFilter.h"

#include <stdint.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "LinkStreams.h"
#include "aLink.h"

namespace Tessaron {
namespace Axonforge {

namespace {

struct Receivers {
  // Held while a link's receivers change and its filter is installed or removed, so that the
  // two always agree. Taken before the engine's filter lock, never inside the filter.
  std::mutex membership;
  // Guards the table; taken by the filter, inside the engine's filter lock.
  std::mutex table;
  std::map<uint32_t, std::vector<LinkStreams*>> byLink;
};

// Kept for the whole run: Links released during static destruction still reach it.
Receivers& sReceivers() {
  static Receivers* receivers = new Receivers;
  return *receivers;
}

}  // namespace

uint8_t LinkStreamFilter::sFilter(const aPacket* packet, void* reference) {
  if (!LinkStreams::getStreamPacketType(packet, nullptr)) return 0;
  const auto linkId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reference));
  Receivers& receivers = sReceivers();
  std::lock_guard<std::mutex> lock(receivers.table);
  auto found = receivers.byLink.find(linkId);
  if (found != receivers.byLink.end()) {
    for (LinkStreams* streams : found->second) streams->take(packet);
  }
  return 1;  // a sample is never a reply
}

aErr LinkStreamFilter::attach(uint32_t linkId, LinkStreams* streams) {
  Receivers& receivers = sReceivers();
  std::lock_guard<std::mutex> serial(receivers.membership);
  bool first = false;
  try {
    std::lock_guard<std::mutex> lock(receivers.table);
    std::vector<LinkStreams*>& list = receivers.byLink[linkId];
    if (std::find(list.begin(), list.end(), streams) != list.end()) return aErrNone;
    first = list.empty();
    list.push_back(streams);
  } catch (const std::bad_alloc&) {
    return aErrMemory;
  }
  if (!first) return aErrNone;
  const aErr result = aLink_InstallUserPacketFilter(linkId, sFilter, reinterpret_cast<void*>(uintptr_t(linkId)));
  if (result != aErrNone) {
    std::lock_guard<std::mutex> lock(receivers.table);
    receivers.byLink.erase(linkId);
  }
  return result;
}

aErr LinkStreamFilter::detach(uint32_t linkId, LinkStreams* streams) {
  Receivers& receivers = sReceivers();
  std::lock_guard<std::mutex> serial(receivers.membership);
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(receivers.table);
    auto found = receivers.byLink.find(linkId);
    if (found == receivers.byLink.end()) return aErrNone;
    std::vector<LinkStreams*>& list = found->second;
    list.erase(std::remove(list.begin(), list.end(), streams), list.end());
    last = list.empty();
    if (last) receivers.byLink.erase(found);
  }
  return last ? aLink_InstallUserPacketFilter(linkId, nullptr, nullptr) : aErrNone;
}

}  // namespace Axonforge
}  // namespace Tessaron
