// Arbitrary device answers into the SDP loader over both transports' response parsing: the
// connection check, the fingerprint and a loader write judge whatever comes back. Nothing may
// read outside the collected bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {

// Each read takes a length byte and that many following bytes of the input.
struct Answers {
  const uint8_t* data;
  size_t size;
  int next(std::vector<uint8_t>& bytes) {
    if (size == 0) return 0;
    size_t length = data[0];
    ++data;
    --size;
    if (length > size) length = size;
    bytes.insert(bytes.end(), data, data + length);
    data += length;
    size -= length;
    return static_cast<int>(length);
  }
};

// The real transports with the wire replaced by the fuzz input; their parsing stays theirs.
template <typename Transport>
class Replayed : public Transport {
 public:
  template <typename... Args>
  Replayed(Answers* answers, Args... args) : Transport(args...), answers_(answers) {}
  bool init() override { return true; }
  int writeData(const std::vector<uint8_t>& bytes) override { return static_cast<int>(bytes.size()); }
  int readData(std::vector<uint8_t>& bytes, int) override { return answers_->next(bytes); }

 private:
  Answers* answers_;
};

void Run(SDPLoader_Interface* transport) {
  SDPLoader loader;
  loader.setLoader(transport);
  loader.init();
  uint64_t fingerprint = 0;
  loader.getFingerprint(fingerprint);
  loader.writeLoader(std::vector<uint8_t>(3000, 0xA5), 0x20000400);
  loader.startLoader(0x20000400);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Answers serial{data, size};
  Run(new Replayed<Serial_SDPLoader>(&serial, "/nonexistent"));
  Answers hid{data, size};
  Run(new Replayed<HID_SDPLoader>(&hid, static_cast<uint16_t>(0x1FC9), static_cast<uint16_t>(0x0130)));
  // The parsers directly, at every offset a caller may ask for.
  std::vector<uint8_t> bytes(data, data + size);
  Serial_SDPLoader serialPort("/nonexistent");
  HID_SDPLoader hidPort(0x1FC9, 0x0130);
  for (size_t offset = 0; offset <= 20; ++offset) {
    uint32_t value = 0;
    serialPort.getDataFromBuffer(bytes, offset, value);
    hidPort.getDataFromBuffer(bytes, offset, value);
  }
  return 0;
}
