// Loading BIRD files from arbitrary bytes. Each input is used twice: as a whole file (header,
// inflation, scan) and as already-inflated image data in a buffer of exactly its size (the scan
// and every image operation), so that damaged block layouts are reached without needing a valid
// zlib stream. Any read or write outside a buffer is an ASan report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "BirdDump.h"
#include "BirdFile.h"
#include "Log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The log formats every line (info fields included) but writes none; dumps go nowhere.
  Log::ActivatePackage(DEBUG_BirdFile);
  Log::SetOutput(nullptr);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

namespace {

void ExerciseOperations(BirdFile& bird, const uint8_t* data, size_t size) {
  bird.GetBuild();
  bird.GetVersion();
  bird.GetSerialNumber();
  bird.GetModel();
  bird.ValidateModel("AF-USBHub2x4");
  bird.ValidateSerialNumber(0x12345678);
  bird.ReplaceSerialNumber(0x1A2B3C4D);
  bird.ReplaceVectorChecksum();
  const unsigned int key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  bird.DecodeFirmwareBlocks(key);
  if (size >= 4) bird.ValidateData(data, 4);
  for (uint8_t type : {0, 1, 2, 4, 5, 31}) bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
  DumpBlocks(bird, BirdFile::BLOCK_INFO);
  BirdFile moved(std::move(bird));
  moved.GetVersion();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    BirdFile bird;
    if (bird.Parse(data, size)) ExerciseOperations(bird, data, size);
  }
  {
    std::unique_ptr<unsigned char[]> imageData(new unsigned char[size]);
    if (size > 0) std::memcpy(imageData.get(), data, size);
    BirdFile bird;
    bird.ScanBlocks(imageData.get(), static_cast<unsigned int>(size));
    bird.FindSerialNumberOffsets();
    ExerciseOperations(bird, data, size);
  }
  return 0;
}
