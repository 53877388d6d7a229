#include "MemoryStream.h"

#include <deque>
#include <limits>

struct MemoryStream::State {
  mutable std::mutex lock;
  std::deque<uint8_t> input;
  bool endOfInput = false;
  aErr getFailure = aErrNone;
  size_t writesAccepted = std::numeric_limits<size_t>::max();
  aErr writeFailure = aErrNone;
  aErr deleteResult = aErrNone;
  std::vector<uint8_t> written;
  size_t putCalls = 0;
  size_t writeCalls = 0;
  bool deleted = false;
};

namespace {

using StatePtr = std::shared_ptr<MemoryStream::State>;

MemoryStream::State& sState(void* reference) { return **static_cast<StatePtr*>(reference); }

aErr sGet(uint8_t* byte, void* reference) {
  MemoryStream::State& s = sState(reference);
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.getFailure != aErrNone) return s.getFailure;
  if (s.input.empty()) return s.endOfInput ? aErrEOF : aErrNotReady;
  *byte = s.input.front();
  s.input.pop_front();
  return aErrNone;
}

// Takes bytes until the configured failure point.
aErr sAccept(MemoryStream::State& s, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (s.writesAccepted == 0) return s.writeFailure;
    s.written.push_back(bytes[i]);
    if (s.writesAccepted != std::numeric_limits<size_t>::max()) s.writesAccepted--;
  }
  return aErrNone;
}

aErr sPut(uint8_t byte, void* reference) {
  MemoryStream::State& s = sState(reference);
  std::lock_guard<std::mutex> lock(s.lock);
  s.putCalls++;
  return sAccept(s, &byte, 1);
}

aErr sWrite(const uint8_t* bytes, size_t length, void* reference) {
  MemoryStream::State& s = sState(reference);
  std::lock_guard<std::mutex> lock(s.lock);
  s.writeCalls++;
  return sAccept(s, bytes, length);
}

aErr sDelete(void* reference) {
  StatePtr* state = static_cast<StatePtr*>(reference);
  aErr result;
  {
    std::lock_guard<std::mutex> lock((*state)->lock);
    (*state)->deleted = true;
    result = (*state)->deleteResult;
  }
  delete state;
  return result;
}

}  // namespace

MemoryStream::MemoryStream() : state_(std::make_shared<State>()) {}

aStream* MemoryStream::Create(Operations operations) {
  StatePtr* reference = new StatePtr(state_);
  aStream* stream = aStream_Create(operations.get ? sGet : nullptr, operations.put ? sPut : nullptr,
                                   operations.write ? sWrite : nullptr, sDelete, reference);
  if (stream == nullptr) delete reference;
  return stream;
}

void MemoryStream::Feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(state_->lock);
  state_->input.insert(state_->input.end(), bytes.begin(), bytes.end());
}

void MemoryStream::Feed(const std::string& bytes) { Feed(std::vector<uint8_t>(bytes.begin(), bytes.end())); }

void MemoryStream::EndOfInput() {
  std::lock_guard<std::mutex> lock(state_->lock);
  state_->endOfInput = true;
}

void MemoryStream::FailGets(aErr code) {
  std::lock_guard<std::mutex> lock(state_->lock);
  state_->getFailure = code;
}

void MemoryStream::FailWritesAfter(size_t accepted, aErr code) {
  std::lock_guard<std::mutex> lock(state_->lock);
  state_->writesAccepted = accepted;
  state_->writeFailure = code;
}

void MemoryStream::SetDeleteResult(aErr code) {
  std::lock_guard<std::mutex> lock(state_->lock);
  state_->deleteResult = code;
}

std::vector<uint8_t> MemoryStream::Written() const {
  std::lock_guard<std::mutex> lock(state_->lock);
  return state_->written;
}

std::string MemoryStream::WrittenText() const {
  const std::vector<uint8_t> bytes = Written();
  return std::string(bytes.begin(), bytes.end());
}

size_t MemoryStream::PutCalls() const {
  std::lock_guard<std::mutex> lock(state_->lock);
  return state_->putCalls;
}

size_t MemoryStream::WriteCalls() const {
  std::lock_guard<std::mutex> lock(state_->lock);
  return state_->writeCalls;
}

size_t MemoryStream::Pending() const {
  std::lock_guard<std::mutex> lock(state_->lock);
  return state_->input.size();
}

bool MemoryStream::Deleted() const {
  std::lock_guard<std::mutex> lock(state_->lock);
  return state_->deleted;
}
