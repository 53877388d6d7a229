#ifndef AXONFORGE2_LINKSTREAMS_H
#define AXONFORGE2_LINKSTREAMS_H

// The stream samples of one Link: a module streams the values of entity options it was asked
// to, and each sample is kept as the latest value of its stream key and handed to the
// callbacks registered for it. A filter on the engine's inbound thread takes every sample out
// of the reply queue, records it and queues the callbacks; a worker thread of its own runs
// them. Each Link has one (Link::streams()).
//
// Every operation returns an aErr and never throws.

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "aError.h"
#include "aPacket.h"

namespace Tessaron {
namespace Axonforge {

// Called on the stream worker with a stream sample and the context given at registration.
// The packet is released after the call.
using StreamCallback = std::function<uint8_t(const aPacket* packet, void* context)>;

// Key and last value of one concrete stream entry.
struct StreamStatusEntry {
  uint64_t key;
  uint32_t value;
};

class LinkStreams {
 public:
  // Sample types of a stream packet (data byte 3).
  enum STREAM_PACKET : uint8_t {
    kSTREAM_PACKET_UNKNOWN = 0,
    kSTREAM_PACKET_U8 = 1,
    kSTREAM_PACKET_U16 = 2,
    kSTREAM_PACKET_U32 = 3,
    kSTREAM_PACKET_BYTES = 4,  // a multi-packet stream; not decoded
    kSTREAM_PACKET_SUBINDEX_U8 = 5,
    kSTREAM_PACKET_SUBINDEX_U16 = 6,
    kSTREAM_PACKET_SUBINDEX_U32 = 7,
  };

  // Elements of a stream key, for getStreamKeyElement.
  enum STREAM_KEY_ELEMENT : uint8_t {
    kSTREAM_KEY_MODULE = 0,
    kSTREAM_KEY_COMMAND = 1,
    kSTREAM_KEY_OPTION = 2,
    kSTREAM_KEY_INDEX = 3,
    kSTREAM_KEY_SUBINDEX = 4,
  };

  // A key element of this value matches every value of that element.
  static constexpr uint8_t kSTREAM_ANY = 0xFF;

  explicit LinkStreams(Link& link);
  // Stops the worker; the Link has removed the filter (stop()) before its engine link went.
  ~LinkStreams();
  LinkStreams(const LinkStreams&) = delete;
  LinkStreams& operator=(const LinkStreams&) = delete;

  // Samples ------------------------------------------------------------------------------
  static bool isStreamPacket(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, uint8_t* type);
  static bool isSubindexType(uint8_t type);
  static bool isStreamSample(const aPacket* packet);
  // Decodes a one-packet sample; each output may be null.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);

  // Registrations ------------------------------------------------------------------------
  // Registers (enable) or removes (disable) a callback for the samples of an entity option
  // (option kSTREAM_ANY: every option of the entity) and tells the device to stream it.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* context);
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr isLinkStreaming(uint8_t module, uint8_t* state);
  // The last sample of that exact value: aErrNone the first time after a sample arrived,
  // aErrStreamStale after that, aErrNotFound when none has been seen.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // Keys in the stream table whose elements equal the arguments (kSTREAM_ANY matches all).
  std::list<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                             uint8_t subindex, bool lock);
  // Lists the concrete entries (no wildcard element) matching the arguments; aErrSize when
  // there are more than capacity (the first capacity are filled).
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* filled);

  // Removes the filter from the engine link, forgets every registration and stops the worker
  // (the link goes, or is about to be shared with nobody listening).
  aErr stop();

 private:
  // One value of the stream table.
  struct Entry {
    uint64_t key = 0;
    uint32_t fresh = 0;  // 1 when a sample arrived since the value was last read
    StreamCallback callback;
    void* context = nullptr;
    uint32_t value = 0;  // last sample value
  };
  // A sample waiting for its callback on the worker.
  struct Pending {
    StreamCallback callback;
    void* context = nullptr;
    OwnedPacket packet;
  };
  static constexpr uint16_t kQueueSlots = 500;
  using Queue = LocklessQueue_SPSC<Pending, kQueueSlots>;

  friend class LinkStreamFilter;  // hands every sample on the engine link to take()
  static void sWork(Queue& queue, std::future<void> stop);
  // Records one sample; runs on the engine's inbound thread.
  void take(const aPacket* packet);
  aErr installFilter(bool on);
  void stopWorker();
  // A fresh stop signal for the next worker.
  void rearmStop();
  void queueCallback(const Entry& entry, const aPacket* packet);
  void eraseKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  aErr askDevice(uint8_t module, uint8_t option, uint8_t requestFlag, uint8_t replyFlag, uint32_t type,
                 uint32_t value, uei* reply);
  aErr tellDevice(uint8_t module, uint64_t key, bool enable);

  Link& m_link;
  std::map<uint64_t, Entry> m_table;  // guarded by m_mutex
  std::mutex m_mutex;
  std::thread m_worker;
  Queue m_queue;
  std::promise<void> m_stop;
  bool m_filterInstalled = false;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
