#include "EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace devsim {

namespace {
constexpr int kMaxWaitMs = 1000;
}

EventLoop::EventLoop() {
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the wake-up pipe");
}

EventLoop::~EventLoop() {
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

void EventLoop::watch(int fd, short events, FdCallback callback) {
  watches_[fd] = {events, nextGeneration_++, std::move(callback)};
}

void EventLoop::setEvents(int fd, short events) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void EventLoop::unwatch(int fd) { watches_.erase(fd); }

void EventLoop::at(Clock::time_point when, Callback callback) {
  // The sequence number keeps timers due at the same moment in the order they were set.
  timers_.emplace(std::make_pair(when, nextTimer_++), std::move(callback));
}

void EventLoop::wake() {
  char byte = 1;
  ssize_t ignored = write(wakePipe_[1], &byte, 1);
  (void)ignored;  // a full pipe already guarantees a wake-up
}

void EventLoop::runOnce(std::unique_lock<std::mutex>& lock) {
  std::vector<pollfd> fds;
  std::vector<uint64_t> generations;
  fds.push_back({wakePipe_[0], POLLIN, 0});
  generations.push_back(0);
  for (const auto& [fd, w] : watches_) {
    fds.push_back({fd, w.events, 0});
    generations.push_back(w.generation);
  }
  int timeout = kMaxWaitMs;
  if (!timers_.empty()) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
    // Round up so that a timer is never polled for just before it is due.
    timeout = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, kMaxWaitMs));
  }
  lock.unlock();
  int ready = poll(fds.data(), fds.size(), timeout);
  lock.lock();
  if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  if (fds[0].revents) {
    char drain[64];
    while (read(wakePipe_[0], drain, sizeof drain) > 0) {
    }
  }
  for (size_t i = 1; ready > 0 && i < fds.size(); ++i) {
    if (!fds[i].revents) continue;
    // A callback may have closed or replaced this descriptor's watch in the meantime.
    auto it = watches_.find(fds[i].fd);
    if (it == watches_.end() || it->second.generation != generations[i]) continue;
    FdCallback callback = it->second.callback;
    callback(fds[i].revents);
  }
  runDueTimers();
}

void EventLoop::runDueTimers() {
  auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto node = timers_.extract(timers_.begin());
    node.mapped()();
  }
}

}  // namespace devsim
