#ifndef TESTLIB_SCRIPTEDSTREAM_H
#define TESTLIB_SCRIPTEDSTREAM_H

// A byte stream a test drives by hand, for exercising a link engine byte by byte. Reads hand
// out the bytes fed so far; with none, a read either returns aErrNotReady at once or waits up
// to a read timeout, like the real transports. Writes are recorded one call at a time and can
// be held back (a gate) or answered by a responder, which plays the module.
// Thread-safe: the test, a link's reading thread and its writing thread may all use it at once.

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <vector>

#include "aStream.h"

class ScriptedStream {
 public:
  using Bytes = std::vector<uint8_t>;
  // Called after each write with the bytes written, on the writing thread, without locks held;
  // it may Feed().
  using Responder = std::function<void(const Bytes& written)>;

  ScriptedStream();

  // A new aStream over this state (write only, no put), owned by the caller or a link.
  aStream* Create();

  void Feed(const Bytes& bytes);
  // How long a read waits for a byte when none is fed (0: returns aErrNotReady at once).
  void SetReadTimeoutMs(uint32_t timeoutMs);
  // Every read fails with this code from now on (aErrNone restores normal service).
  void FailReads(aErr code);
  void SetResponder(Responder responder);
  // While closed, writes wait at the gate.
  void SetWriteGate(bool open);

  std::vector<Bytes> Writes() const;  // one element per write call
  Bytes Written() const;              // all writes concatenated
  size_t ReadCalls() const;
  bool Deleted() const;
  // Waits until the written bytes contain `pattern` `count` times; false on timeout.
  bool WaitForWritten(const Bytes& pattern, size_t count = 1, uint32_t timeoutMs = 3000) const;
  // Waits until this many writes are held at the closed gate; false on timeout.
  bool WaitForWritersAtGate(size_t count, uint32_t timeoutMs = 3000) const;
  // Waits until this many writes have been made; false on timeout.
  bool WaitForWriteCount(size_t count, uint32_t timeoutMs = 3000) const;

  // Occurrences of pattern in haystack, not overlapping.
  static size_t Count(const Bytes& haystack, const Bytes& pattern);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

#endif
