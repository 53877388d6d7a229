#ifndef TESTLIB_TEMPDIR_H
#define TESTLIB_TEMPDIR_H

#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes text into a file, replacing it; fails the running test when it cannot.
void WriteTextFile(const std::string& path, const std::string& text);
// The whole content of a file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

#endif
