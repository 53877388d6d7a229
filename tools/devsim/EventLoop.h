#ifndef DEVSIM_EVENTLOOP_H
#define DEVSIM_EVENTLOOP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace devsim {

// A poll loop with timers. Its owner holds one mutex over everything the callbacks touch: the
// loop releases it only while it waits in poll, so callbacks and the owner's API never overlap.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using FdCallback = std::function<void(short revents)>;
  using Callback = std::function<void()>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void watch(int fd, short events, FdCallback callback);
  void setEvents(int fd, short events);
  void unwatch(int fd);
  void at(Clock::time_point when, Callback callback);
  void after(Clock::duration delay, Callback callback) { at(Clock::now() + delay, std::move(callback)); }

  // Waits for the next event (releasing `lock` meanwhile) and runs its callbacks.
  void runOnce(std::unique_lock<std::mutex>& lock);
  // Makes a waiting runOnce return; safe from any thread.
  void wake();

 private:
  struct Watch {
    short events;
    uint64_t generation;
    FdCallback callback;
  };
  void runDueTimers();

  int wakePipe_[2] = {-1, -1};
  std::unordered_map<int, Watch> watches_;
  uint64_t nextGeneration_ = 1;
  std::map<std::pair<Clock::time_point, uint64_t>, Callback> timers_;
  uint64_t nextTimer_ = 1;
};

}  // namespace devsim

#endif
