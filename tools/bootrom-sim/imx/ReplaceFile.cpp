#include "ReplaceFile.h"

#include <cstdio>

namespace bootrom::imx {

bool ReplaceFile(const std::string& path, const std::string& bytes) {
  const size_t slash = path.rfind('/');
  const std::string temporary =
      slash == std::string::npos ? "." + path + ".tmp" : path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0) ok = false;
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  std::remove(temporary.c_str());
  return false;
}

}  // namespace bootrom::imx
