#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "MemoryStream.h"
#include "TempDir.h"
#include "aFileStream.h"
#include "aStream.h"

namespace {

// Destroys the stream at the end of a test.
struct StreamHolder {
  aStream* s;
  explicit StreamHolder(aStream* stream) : s(stream) {}
  ~StreamHolder() {
    if (s != nullptr) aStream_Destroy(&s);
  }
};

std::string ReadN(aStream* stream, size_t n, aErr expected = aErrNone) {
  std::string out(n, '\0');
  EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(&out[0]), n), expected);
  return out;
}

std::string ReadRecord(aStream* stream, size_t capacity, const std::string& delimiter, aErr expected) {
  std::vector<uint8_t> buffer(capacity + 8, 0xCC);
  size_t length = 12345;
  EXPECT_EQ(aStream_ReadRecord(stream, buffer.data(), &length, capacity,
                               reinterpret_cast<const uint8_t*>(delimiter.data()), delimiter.size()),
            expected);
  for (size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << "wrote past capacity";
  if (expected != aErrNone) return "";
  return std::string(buffer.begin(), buffer.begin() + length);
}

// A stream over memory with every operation, destroyed at the end of the test.
class MemoryStreamTest : public ::testing::Test {
 protected:
  MemoryStream memory;
  StreamHolder h{memory.Create()};
};
using aStreamRead = MemoryStreamTest;
using aStreamPushBack = MemoryStreamTest;
using aStreamRecord = MemoryStreamTest;

}  // namespace

TEST_F(aStreamRead, AllOrNothingKeepsEarlyBytes) {
  memory.Feed("ab");
  uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(aStream_Read(h.s, buffer, 4), aErrNotReady);
  memory.Feed("cd");
  EXPECT_EQ(ReadN(h.s, 4), "abcd");
  EXPECT_EQ(aStream_Read(h.s, buffer, 1), aErrNotReady);
}

TEST_F(aStreamRead, EndOfFileDeliversWhatArrived) {
  memory.Feed("xy");
  memory.EndOfInput();
  EXPECT_EQ(ReadN(h.s, 3, aErrEOF).substr(0, 2), "xy");
  EXPECT_EQ(ReadN(h.s, 1, aErrEOF), std::string(1, '\0'));
}

TEST_F(aStreamRead, OtherErrorsAreReturned) {
  memory.FailGets(aErrIO);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrIO);
}

TEST_F(aStreamPushBack, SixHundredBytesComeBackInOrder) {
  std::string expected;
  for (int i = 0; i < 600; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i * 7);
    expected += static_cast<char>(byte);
    ASSERT_EQ(aStreamBufferChar(h.s, byte), aErrNone);
  }
  memory.Feed("tail");
  EXPECT_EQ(ReadN(h.s, 604), expected + "tail");
}

TEST_F(aStreamPushBack, GrowingAfterWrapKeepsOrder) {
  std::string expected;
  // Move the circular indices around, then make it grow while wrapped.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 400; ++i) aStreamBufferChar(h.s, static_cast<uint8_t>('a' + i % 26));
    ReadN(h.s, 400);
  }
  for (int i = 0; i < 1500; ++i) {
    const char c = static_cast<char>('A' + i % 23);
    expected += c;
    ASSERT_EQ(aStreamBufferChar(h.s, static_cast<uint8_t>(c)), aErrNone);
  }
  EXPECT_EQ(ReadN(h.s, 1500), expected);
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

TEST_F(aStreamRecord, CStringStopsAtNulAndLeavesTheRest) {
  memory.Feed(std::string("ab\0cd", 5));
  char text[16];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(aStream_ReadCString(h.s, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(ReadN(h.s, 2), "cd");
}

TEST_F(aStreamRecord, NotReadyMidRecordLosesNothing) {
  memory.Feed("par\r");
  EXPECT_EQ(ReadRecord(h.s, 32, "\r\n", aErrNotReady), "");
  memory.Feed("tial\r\nnext");
  // The lone carriage return was not a delimiter and is kept as data.
  EXPECT_EQ(ReadRecord(h.s, 32, "\r\n", aErrNone), "par\rtial");
  EXPECT_EQ(ReadN(h.s, 4), "next");
}

TEST_F(aStreamRecord, OverlappingDelimiterIsFound) {
  memory.Feed("xaaab!");
  EXPECT_EQ(ReadRecord(h.s, 32, "aab", aErrNone), "xa");
  EXPECT_EQ(ReadN(h.s, 1), "!");
}

TEST_F(aStreamRecord, FullBufferEndsTheRecordWithoutLosingBytes) {
  memory.Feed("abc\rdef\r\n");
  EXPECT_EQ(ReadRecord(h.s, 4, "\r\n", aErrNone), "abc\r");
  EXPECT_EQ(ReadRecord(h.s, 4, "\r\n", aErrNone), "def");
  memory.Feed("ab\rX");
  EXPECT_EQ(ReadRecord(h.s, 3, "\r\n", aErrNone), "ab\r");
  EXPECT_EQ(ReadN(h.s, 1), "X");
}

TEST_F(aStreamRecord, EndOfFileEndsANonEmptyRecord) {
  memory.Feed("last\r");
  memory.EndOfInput();
  EXPECT_EQ(ReadRecord(h.s, 32, "\r\n", aErrNone), "last\r");
  EXPECT_EQ(ReadRecord(h.s, 32, "\r\n", aErrEOF), "");
}

TEST_F(aStreamRecord, CStringRecordAndCapacity) {
  memory.Feed("OK\r\nlonger text\r\n");
  char text[6];
  EXPECT_EQ(aStream_ReadCStringRecord(h.s, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "OK");
  EXPECT_EQ(aStream_ReadCStringRecord(h.s, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "longe");
  EXPECT_EQ(aStream_ReadCString(h.s, text, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(h.s, text, sizeof text, nullptr), aErrParam);
  size_t length;
  uint8_t buffer[4];
  EXPECT_EQ(aStream_ReadRecord(h.s, buffer, &length, sizeof buffer, buffer, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(nullptr, buffer, &length, sizeof buffer, buffer, 1), aErrParam);
}

TEST(aStreamWrite, BlocksUseWriteAndSingleBytesUsePut) {
  MemoryStream memory;
  StreamHolder h(memory.Create());
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(h.s, bytes, 3), aErrNone);
  EXPECT_EQ(memory.WriteCalls(), 1u);
  EXPECT_EQ(memory.PutCalls(), 0u);
  EXPECT_EQ(aStream_Write(h.s, bytes, 1), aErrNone);
  EXPECT_EQ(memory.PutCalls(), 1u);
  EXPECT_EQ(memory.Written(), (std::vector<uint8_t>{1, 2, 3, 1}));
}

TEST(aStreamWrite, WriteOnlyStreamWritesSingleBytesWithWrite) {
  MemoryStream memory;
  StreamHolder h(memory.Create({false, false, true}));
  const uint8_t byte = 9;
  EXPECT_EQ(aStream_Write(h.s, &byte, 1), aErrNone);
  EXPECT_EQ(memory.WriteCalls(), 1u);
  EXPECT_EQ(memory.Written(), std::vector<uint8_t>{9});
  uint8_t in;
  EXPECT_EQ(aStream_Read(h.s, &in, 1), aErrMode);
}

TEST(aStreamWrite, PutOnlyStreamStopsAtTheFirstFailure) {
  MemoryStream memory;
  StreamHolder h(memory.Create({true, true, false}));
  memory.FailWritesAfter(2, aErrWrite);
  const uint8_t bytes[] = {1, 2, 3, 4};
  EXPECT_EQ(aStream_Write(h.s, bytes, 4), aErrWrite);
  EXPECT_EQ(memory.PutCalls(), 3u);
  EXPECT_EQ(memory.Written(), (std::vector<uint8_t>{1, 2}));
}

TEST(aStreamWrite, RecordsAndCStrings) {
  MemoryStream memory;
  StreamHolder h(memory.Create());
  EXPECT_EQ(aStream_WriteCString(h.s, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(h.s, "cmd", "\r\n"), aErrNone);
  const uint8_t delimiter[] = {0xFF, 0xFE};
  EXPECT_EQ(aStream_WriteRecord(h.s, reinterpret_cast<const uint8_t*>("r"), 1, delimiter, 2), aErrNone);
  EXPECT_EQ(memory.WrittenText(), std::string("hi\0cmd\r\n\0r\xFF\xFE", 12));
  EXPECT_EQ(aStream_WriteRecord(h.s, nullptr, 0, delimiter, 2), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(h.s, delimiter, 1, delimiter, 0), aErrParam);
  EXPECT_EQ(aStream_WriteCString(h.s, nullptr), aErrParam);
}

TEST(aStreamWrite, ModeAndParameterErrors) {
  MemoryStream memory;
  StreamHolder inputOnly(memory.Create({true, false, false}));
  const uint8_t byte = 1;
  EXPECT_EQ(aStream_Write(inputOnly.s, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Write(inputOnly.s, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_Read(inputOnly.s, nullptr, 1), aErrParam);
}

TEST(aStreamFlush, CopiesUntilEndOfFile) {
  MemoryStream from, to;
  StreamHolder source(from.Create());
  StreamHolder destination(to.Create());
  aStreamBufferChar(source.s, '>');
  from.Feed("copied");
  from.EndOfInput();
  EXPECT_EQ(aStream_Flush(source.s, destination.s), aErrNone);
  EXPECT_EQ(to.WrittenText(), ">copied");
}

TEST(aStreamFlush, ErrorsAndModes) {
  MemoryStream from, to;
  StreamHolder source(from.Create());
  StreamHolder destination(to.Create());
  from.Feed("ab");
  EXPECT_EQ(aStream_Flush(source.s, destination.s), aErrNotReady);  // no end in sight yet
  EXPECT_EQ(to.WrittenText(), "ab");
  StreamHolder writeOnly(to.Create({false, false, true}));
  EXPECT_EQ(aStream_Flush(source.s, writeOnly.s), aErrMode);
  EXPECT_EQ(aStream_Flush(writeOnly.s, destination.s), aErrMode);
  EXPECT_EQ(aStream_Flush(nullptr, destination.s), aErrParam);
}

TEST(aStreamLifetime, DestroyRunsTheTransportDelete) {
  MemoryStream memory;
  aStream* stream = memory.Create();
  aStreamBufferChar(stream, 1);
  memory.SetDeleteResult(aErrBusy);
  EXPECT_EQ(aStream_Destroy(&stream), aErrBusy);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(memory.Deleted());
  EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
  aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
}

TEST(aFileStream, CopyAFileThroughStreams) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 3000; ++i) content += static_cast<char>(i % 251);
  WriteTextFile(dir / "in", content);
  aStream* in = nullptr;
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput((dir / "in").c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput((dir / "out").c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  EXPECT_EQ(aStream_Write(in, reinterpret_cast<const uint8_t*>("x"), 1), aErrMode);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(ReadTextFile(dir / "out"), content);
}

TEST(aFileStream, FailuresGiveResourceErrorAndNoStream) {
  TempDir dir;
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "no/dir/file").c_str(), &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "f").c_str(), nullptr), aErrResource);
}
