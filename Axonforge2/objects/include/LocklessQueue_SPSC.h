#ifndef AXONFORGE2_LOCKLESSQUEUE_SPSC_H
#define AXONFORGE2_LOCKLESSQUEUE_SPSC_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <utility>

namespace Tessaron {

// A bounded queue for exactly one producer thread and one consumer thread, without locks.
// A ring of N slots holds at most N - 1 items: the slot at the read index is never written,
// so equal indices mean empty. The producer fills a slot before publishing the new write
// index; the consumer moves the read index onto a slot before taking the item out of it, so
// the producer cannot overwrite a slot that is being read.
template <typename T, uint16_t N>
class LocklessQueue_SPSC {
  static_assert(N >= 2, "a ring needs at least two slots");

 public:
  // False when the queue is full (the item is not taken).
  bool push(T item) {
    const uint16_t write = write_.load(std::memory_order_relaxed);
    const uint16_t next = advance(write);
    if (next == read_.load(std::memory_order_acquire)) return false;
    slots_[next] = std::move(item);
    write_.store(next, std::memory_order_release);
    return true;
  }

  // False when the queue is empty.
  bool pop(T& item) {
    const uint16_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire)) return false;
    const uint16_t next = advance(read);
    read_.store(next, std::memory_order_release);
    item = std::move(slots_[next]);
    return true;
  }

  static constexpr size_t capacity() { return N - 1; }

 private:
  static uint16_t advance(uint16_t index) { return static_cast<uint16_t>(index + 1 == N ? 0 : index + 1); }

  T slots_[N];
  std::atomic<uint16_t> write_{0};
  std::atomic<uint16_t> read_{0};
};

}  // namespace Tessaron

#endif
