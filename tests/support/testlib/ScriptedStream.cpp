#include "ScriptedStream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

struct ScriptedStream::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::deque<uint8_t> input;
  uint32_t readTimeoutMs = 0;
  uint64_t settingsGeneration = 0;  // wakes waiting reads when the timeout changes
  aErr readFailure = aErrNone;
  size_t readCalls = 0;
  bool gateOpen = true;
  size_t writersAtGate = 0;
  Responder responder;
  std::vector<Bytes> writes;
  bool deleted = false;
};

namespace {

using StateRef = std::shared_ptr<ScriptedStream::State>;

StateRef& sState(void* reference) { return *static_cast<StateRef*>(reference); }

aErr sGet(uint8_t* byte, void* reference) {
  ScriptedStream::State& state = *sState(reference);
  std::unique_lock<std::mutex> lock(state.mutex);
  state.readCalls++;
  if (state.readFailure != aErrNone) return state.readFailure;
  const uint64_t generation = state.settingsGeneration;
  state.changed.wait_for(lock, std::chrono::milliseconds(state.readTimeoutMs), [&] {
    return !state.input.empty() || state.settingsGeneration != generation;
  });
  if (state.input.empty()) return aErrNotReady;
  *byte = state.input.front();
  state.input.pop_front();
  return aErrNone;
}

aErr sWrite(const uint8_t* bytes, size_t length, void* reference) {
  ScriptedStream::State& state = *sState(reference);
  ScriptedStream::Responder responder;
  ScriptedStream::Bytes written(bytes, bytes + length);
  {
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!state.gateOpen) {
      state.writersAtGate++;
      state.changed.notify_all();
      state.changed.wait(lock, [&] { return state.gateOpen; });
      state.writersAtGate--;
    }
    state.writes.push_back(written);
    responder = state.responder;
  }
  state.changed.notify_all();
  if (responder) responder(written);
  return aErrNone;
}

aErr sDelete(void* reference) {
  StateRef* ref = static_cast<StateRef*>(reference);
  {
    std::lock_guard<std::mutex> lock((*ref)->mutex);
    (*ref)->deleted = true;
  }
  delete ref;
  return aErrNone;
}

}  // namespace

ScriptedStream::ScriptedStream() : state_(std::make_shared<State>()) {}

aStream* ScriptedStream::Create() {
  auto* reference = new StateRef(state_);
  aStream* stream = aStream_Create(sGet, nullptr, sWrite, sDelete, reference);
  if (stream == nullptr) delete reference;
  return stream;
}

void ScriptedStream::Feed(const Bytes& bytes) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->input.insert(state_->input.end(), bytes.begin(), bytes.end());
  }
  state_->changed.notify_all();
}

void ScriptedStream::SetReadTimeoutMs(uint32_t timeoutMs) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->readTimeoutMs = timeoutMs;
    state_->settingsGeneration++;
  }
  state_->changed.notify_all();
}

void ScriptedStream::FailReads(aErr code) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->readFailure = code;
}

void ScriptedStream::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->responder = std::move(responder);
}

void ScriptedStream::SetWriteGate(bool open) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->gateOpen = open;
  }
  state_->changed.notify_all();
}

std::vector<ScriptedStream::Bytes> ScriptedStream::Writes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->writes;
}

ScriptedStream::Bytes ScriptedStream::Written() const {
  Bytes all;
  for (const Bytes& write : Writes()) all.insert(all.end(), write.begin(), write.end());
  return all;
}

size_t ScriptedStream::ReadCalls() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->readCalls;
}

bool ScriptedStream::Deleted() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->deleted;
}

size_t ScriptedStream::Count(const Bytes& haystack, const Bytes& pattern) {
  if (pattern.empty()) return 0;
  size_t count = 0;
  for (auto it = haystack.begin();;) {
    it = std::search(it, haystack.end(), pattern.begin(), pattern.end());
    if (it == haystack.end()) return count;
    count++;
    it += static_cast<std::ptrdiff_t>(pattern.size());
  }
}

bool ScriptedStream::WaitForWritten(const Bytes& pattern, size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    Bytes all;
    for (const Bytes& write : state_->writes) all.insert(all.end(), write.begin(), write.end());
    return Count(all, pattern) >= count;
  });
}

bool ScriptedStream::WaitForWriteCount(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return state_->writes.size() >= count; });
}

bool ScriptedStream::WaitForWritersAtGate(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return state_->writersAtGate >= count; });
}
