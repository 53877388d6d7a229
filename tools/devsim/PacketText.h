#ifndef DEVSIM_PACKETTEXT_H
#define DEVSIM_PACKETTEXT_H

#include <string>

#include "SimPacket.h"

namespace devsim {

// A line for the conversation log: the packet's wire bytes and what they mean.
std::string DescribePacket(const SimPacket& packet, bool fromHost);

}  // namespace devsim

#endif
