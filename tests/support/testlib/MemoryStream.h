#ifndef TESTLIB_MEMORYSTREAM_H
#define TESTLIB_MEMORYSTREAM_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aStream.h"

// An in-memory transport for aStream: tests feed the bytes that get hands out (aErrNotReady when
// none is fed, aErrEOF once EndOfInput was called and all are taken) and read back what put and
// write received. Thread-safe, so one thread may feed while a link reads. The state outlives the
// aStream made from it.
class MemoryStream {
 public:
  struct Operations {
    bool get = true;
    bool put = true;
    bool write = true;
  };

  MemoryStream();

  // A new aStream over this state, owned by the caller (aStream_Destroy).
  aStream* Create(Operations operations);
  aStream* Create() { return Create(Operations{}); }

  void Feed(const std::vector<uint8_t>& bytes);
  void Feed(const std::string& bytes);
  void EndOfInput();
  // Every get fails with this code from now on (aErrNone restores normal service).
  void FailGets(aErr code);
  // put and write fail with code once `accepted` more bytes have been taken.
  void FailWritesAfter(size_t accepted, aErr code);
  void SetDeleteResult(aErr code);

  std::vector<uint8_t> Written() const;
  std::string WrittenText() const;
  size_t PutCalls() const;
  size_t WriteCalls() const;
  size_t Pending() const;  // fed bytes not yet taken
  bool Deleted() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

#endif
