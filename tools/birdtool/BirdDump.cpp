#include "BirdDump.h"

#include <cctype>
#include <cstdio>

namespace {

constexpr int kDumpColumns = 50;

}  // namespace

bool DumpBlocks(const BirdFile& bird, BirdFile::BLOCK_TYPE type) {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", bird.path.c_str());
  char text[kDumpColumns + 1] = "";
  size_t column = 0;
  for (const BirdBlock& block : bird.blocks) {
    if (block.type != type) continue;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % kDumpColumns == 0) {
        text[column] = '\0';
        std::printf(" %s\r\n%06d: ", text, static_cast<int>(i));
        column = 0;
      }
      unsigned char byte = block.data[i];
      text[column++] = std::isprint(byte) ? static_cast<char>(byte) : ' ';
      std::printf("%02X ", byte);
    }
    text[column] = '\0';
    std::printf(" %s\n", text);
    column = 0;
  }
  std::printf("\n");
  return true;
}
