#include "I2CClass.h"

#include <string.h>

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kReadBit = 1;
constexpr uint8_t kFailBit = 0x80;
// Reply: command, index, address, count, status, then the bytes read.
constexpr uint8_t kCountByte = 3;
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kDataByte = 5;

}  // namespace

I2CClass::~I2CClass() = default;

aErr I2CClass::init(Module* module, uint8_t index) {
  m_speed = 0;
  return EntityClass::init(module, kCommand, index);
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                        uint8_t* reply, uint8_t* replyLength) {
  aErr err = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (err != aErrNone) return err;
  *replyLength = matchLength;
  err = receivePacket(match, replyLength, reply);
  if (err != aErrNone) return err;
  if (*replyLength <= kStatusByte) return aErrPacket;
  if ((reply[kStatusByte] & kFailBit) == 0) return aErrNone;
  // A failure must not read as success even when the module left the code out.
  const uint8_t code = reply[kStatusByte] & ~kFailBit;
  return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kMaxTransfer) return aErrSize;
  if (!buffer && length > 0) return aErrParam;
  const uint8_t request[] = {kCommand, getIndex(), static_cast<uint8_t>(address | kReadBit), length, m_speed};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = transfer(request, sizeof request, request, 3, reply, &replyLength);
  if (err != aErrNone) return err;
  // Never more than was asked for, nor more than the reply carries.
  const size_t carried = replyLength - kDataByte;
  size_t count = reply[kCountByte];
  if (count > length) count = length;
  if (count > carried) count = carried;
  if (count > 0) memcpy(buffer, reply + kDataByte, count);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kMaxTransfer) return aErrSize;
  if (!data && length > 0) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {kCommand, getIndex(), address, length, m_speed};
  if (length > 0) memcpy(request + kDataByte, data, length);
  const uint8_t match[] = {kCommand, getIndex(), address, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = transfer(request, static_cast<uint8_t>(kDataByte + length), match, sizeof match, reply, &replyLength);
  return err != aErrNone ? err : static_cast<aErr>(reply[kStatusByte]);
}

aErr I2CClass::setPullup(bool enable) {
  const uint8_t request[] = {kCommand, getIndex(), kPullupAddress, static_cast<uint8_t>(enable ? 1 : 0)};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = transfer(request, sizeof request, request, 3, reply, &replyLength);
  return err != aErrNone ? err : static_cast<aErr>(reply[kStatusByte]);
}

aErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kMaxSpeed) return aErrParam;
  m_speed = speed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) {
  if (!speed) return aErrParam;
  *speed = m_speed;
  return aErrNone;
}

}  // namespace Axonforge
}  // namespace Tessaron
