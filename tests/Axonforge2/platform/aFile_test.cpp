#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "TempDir.h"
#include "aFile.h"

namespace {

// Closes the file at the end of a test.
struct FileHolder {
  aFile* f;
  explicit FileHolder(aFile* file) : f(file) {}
  ~FileHolder() {
    if (f != nullptr) aFile_Close(&f);
  }
};

std::string Bytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

TEST(aFileOpen, RefusesBadPathsAndModes) {
  TempDir dir;
  const std::string path = dir / "x.bin";
  WriteTextFile(path, "x");
  EXPECT_EQ(aFile_Open(path.c_str(), aFILE_MODE_INVALID), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 7), nullptr);
  EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFILE_MODE_READ), nullptr);
  EXPECT_EQ(aFile_Open(nullptr, aFILE_MODE_READ), nullptr);
  EXPECT_EQ(aFile_Open("", aFILE_MODE_READ), nullptr);
  const std::string tooLong(aFILE_MAX_PATH + 1, 'a');
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFILE_MODE_WRITE), nullptr);
  EXPECT_EQ(aFile_Open((dir / "no/such/dir/file").c_str(), aFILE_MODE_WRITE), nullptr);
}

TEST(aFileOpen, ExistsIsFalseForDirectoriesAndMissingFiles) {
  TempDir dir;
  WriteTextFile(dir / "f", "1");
  EXPECT_TRUE(aFile_Exists((dir / "f").c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(aFile_Exists((dir / "g").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(std::string(aFILE_MAX_PATH + 1, 'a').c_str()));
}

TEST(aFileReadWrite, WriteThenReadBackWithModeChecks) {
  TempDir dir;
  const std::string path = dir / "data.bin";
  const std::string content = Bytes(100);
  {
    FileHolder out(aFile_Open(path.c_str(), aFILE_MODE_WRITE));
    ASSERT_NE(out.f, nullptr);
    size_t written = 0;
    EXPECT_EQ(aFile_Write(out.f, reinterpret_cast<const uint8_t*>(content.data()), 60, &written), aErrNone);
    EXPECT_EQ(written, 60u);
    EXPECT_EQ(aFile_Printf(out.f, "%s", content.substr(60).c_str()), aErrNone);
    uint8_t b;
    EXPECT_EQ(aFile_Read(out.f, &b, 1, nullptr), aErrMode);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(out.f, &size), aErrNone);
    EXPECT_EQ(size, 100u);
  }
  FileHolder in(aFile_Open(path.c_str(), aFILE_MODE_READ));
  ASSERT_NE(in.f, nullptr);
  EXPECT_EQ(aFile_Write(in.f, reinterpret_cast<const uint8_t*>("x"), 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(in.f, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(in.f), aErrMode);
  char buffer[128] = {};
  size_t got = 0;
  EXPECT_EQ(aFile_Read(in.f, reinterpret_cast<uint8_t*>(buffer), sizeof buffer, &got), aErrNone);
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(std::string(buffer, got), content);
  EXPECT_EQ(aFile_Read(in.f, reinterpret_cast<uint8_t*>(buffer), 1, &got), aErrEOF);
  EXPECT_EQ(got, 0u);
}

TEST(aFileReadWrite, WriteModeTruncatesAndAppendModeAppendsAndReads) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  WriteTextFile(path, "old content that must go");
  {
    FileHolder out(aFile_Open(path.c_str(), aFILE_MODE_WRITE));
    ASSERT_EQ(aFile_Printf(out.f, "one\n"), aErrNone);
  }
  FileHolder both(aFile_Open(path.c_str(), aFILE_MODE_APPEND));
  ASSERT_NE(both.f, nullptr);
  size_t position = 99;
  EXPECT_EQ(aFile_GetPosition(both.f, &position), aErrNone);
  EXPECT_EQ(position, 4u);
  EXPECT_EQ(aFile_Printf(both.f, "two\n"), aErrNone);
  // Reading straight after writing on the same handle sees what was written.
  ASSERT_EQ(aFile_Seek(both.f, 0, 0), aErrNone);
  char line[16];
  size_t length = 0;
  EXPECT_EQ(aFile_ReadLine(both.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "one\n");
  // Writes always go to the end, wherever the read position was.
  EXPECT_EQ(aFile_Write(both.f, reinterpret_cast<const uint8_t*>("3\n"), 2, nullptr), aErrNone);
  ASSERT_EQ(aFile_Seek(both.f, 4, 0), aErrNone);
  EXPECT_EQ(aFile_ReadLine(both.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "two\n");
  EXPECT_EQ(aFile_ReadLine(both.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "3\n");
  aFile_Close(&both.f);
  EXPECT_EQ(ReadTextFile(path), "one\ntwo\n3\n");
}

TEST(aFileReadLine, LinesEndOfFileAndOverlongLines) {
  TempDir dir;
  const std::string path = dir / "lines.txt";
  WriteTextFile(path, "short\n" + Bytes(10) + "\nlast");
  FileHolder in(aFile_Open(path.c_str(), aFILE_MODE_READ));
  char line[8];
  size_t length = 0;
  EXPECT_EQ(aFile_ReadLine(in.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "short\n");
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(aFile_ReadLine(in.f, line, sizeof line, &length), aErrOverrun);
  EXPECT_STREQ(line, "abcdefg");
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(aFile_ReadLine(in.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "hij\n");
  EXPECT_EQ(aFile_ReadLine(in.f, line, sizeof line, &length), aErrNone);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(aFile_ReadLine(in.f, line, sizeof line, &length), aErrEOF);
  EXPECT_EQ(aFile_ReadLine(in.f, nullptr, sizeof line, &length), aErrParam);
}

TEST(aFileSeek, RangeIsCheckedAgainstTheSize) {
  TempDir dir;
  const std::string path = dir / "hundred";
  WriteTextFile(path, Bytes(100));
  FileHolder in(aFile_Open(path.c_str(), aFILE_MODE_READ));
  size_t position = 0;
  EXPECT_EQ(aFile_Seek(in.f, 10, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(in.f, -10, 2), aErrNone);
  EXPECT_EQ(aFile_GetPosition(in.f, &position), aErrNone);
  EXPECT_EQ(position, 90u);
  EXPECT_EQ(aFile_Seek(in.f, -91, 1), aErrRange);
  EXPECT_EQ(aFile_Seek(in.f, 5, 1), aErrNone);
  EXPECT_EQ(aFile_GetPosition(in.f, &position), aErrNone);
  EXPECT_EQ(position, 95u);
  EXPECT_EQ(aFile_Seek(in.f, -1, 0), aErrRange);
  EXPECT_EQ(aFile_Seek(in.f, 100, 0), aErrNone);
  EXPECT_EQ(aFile_Seek(in.f, 0, 3), aErrParam);
  // Size does not move the position.
  EXPECT_EQ(aFile_Seek(in.f, 3, 0), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(in.f, &size), aErrNone);
  EXPECT_EQ(size, 100u);
  uint8_t b = 0;
  EXPECT_EQ(aFile_Read(in.f, &b, 1, nullptr), aErrNone);
  EXPECT_EQ(b, 'd');
  // Position 0 is reported as 0.
  position = 1234;
  EXPECT_EQ(aFile_Seek(in.f, 0, 0), aErrNone);
  EXPECT_EQ(aFile_GetPosition(in.f, &position), aErrNone);
  EXPECT_EQ(position, 0u);
}

TEST(aFileHandles, InvalidHandlesAndDelete) {
  uint8_t b;
  size_t n;
  EXPECT_EQ(aFile_Read(nullptr, &b, 1, &n), aErrParam);
  EXPECT_EQ(aFile_Write(nullptr, &b, 1, &n), aErrParam);
  EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
  EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
  aFile* none = nullptr;
  EXPECT_EQ(aFile_Close(&none), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);

  TempDir dir;
  const std::string path = dir / "gone";
  aFile* f = aFile_Open(path.c_str(), aFILE_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(f), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(std::string(aFILE_MAX_PATH + 1, 'a').c_str()), aErrFileNameLength);
}
