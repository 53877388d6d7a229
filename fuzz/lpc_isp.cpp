// Arbitrary device bytes into the LPC in-system-programming host: every line parser, the
// identification answers, the uuencoded read blocks with their checksums and uudecode itself
// must stay inside their buffers and come to an end whatever the device sends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "Uuencode.h"
#include "aStream.h"

namespace {

// What the device "says": the fuzz input, then end of file; what the host sends is dropped.
struct DeviceBytes {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

aErr sGet(uint8_t* byte, void* reference) {
  DeviceBytes* d = static_cast<DeviceBytes*>(reference);
  if (d->pos >= d->size) return aErrEOF;
  *byte = d->data[d->pos++];
  return aErrNone;
}
aErr sPut(uint8_t, void*) { return aErrNone; }
aErr sWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr sDestroy(void* reference) {
  delete static_cast<DeviceBytes*>(reference);
  return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // uudecode on the input as one line, into exactly the room it may use.
  const std::string line(reinterpret_cast<const char*>(data), size);
  for (size_t capacity : {size_t(0), size_t(3), size_t(45)}) {
    std::vector<uint8_t> room(capacity);
    if (uudecode(room.data(), capacity, line.c_str()) > capacity) __builtin_trap();
  }
  NXPSerialClass::GetErrorText(line.c_str());

  aStream* stream = aStream_Create(sGet, sPut, sWrite, sDestroy, new DeviceBytes{data, size, 0});
  NXPSerialClass isp;
  if (stream == nullptr || isp.Attach(stream, 230400) != aErrNone) return 0;
  int32_t first = 0, second = 0;
  int64_t part = 0;
  isp.GetDeviceID();
  isp.GetBootLoaderVersion(&first, &second);
  isp.GetPartNumber(&part);
  isp.SetEcho(false);
  isp.Unlock();
  isp.Prepare(0, 29);
  isp.Erase(0, 29);
  std::vector<uint8_t> block(904, 0x5A);
  isp.Write(NXPSerialClass::WRITE_ADDRESS, 904, block.data());
  std::vector<uint8_t> back(904);
  isp.Read(NXPSerialClass::WRITE_ADDRESS, 904, back.data());
  isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 1024);
  return 0;
}
