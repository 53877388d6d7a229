#ifndef AXONFORGE2_I2CCLASS_H
#define AXONFORGE2_I2CCLASS_H

// The I2C bus master of a module (command 8): reads and writes of up to 23 bytes to a bus
// address, the bus pull-up, and the bus speed used for later transfers.

#include <stdint.h>

#include "EntityClass.h"

namespace Tessaron {
namespace Axonforge {

class I2CClass : public EntityClass {
 public:
  static constexpr uint8_t kCommand = 8;
  // Longest transfer of one request.
  static constexpr uint8_t kMaxTransfer = 23;
  // Speeds 0..3, slowest first.
  static constexpr uint8_t kMaxSpeed = 3;

  I2CClass() = default;
  ~I2CClass() override;

  // Binds the entity and resets the speed to 0.
  aErr init(Module* module, uint8_t index);
  // address is the 8-bit bus address with the read bit clear. A failed bus transfer (for
  // example an address nobody acknowledges) returns the module's error code.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool enable);
  // Only stored; it travels with later reads and writes.
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed);

 private:
  // Sends the request (command byte first) and takes the first reply beginning with the three
  // bytes of match; a reply with the fail bit in its status byte gives the module's code.
  aErr transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                uint8_t* reply, uint8_t* replyLength);

  uint8_t m_speed = 0;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
