#ifndef AXONFORGE2_ASERVERPACKETS_H
#define AXONFORGE2_ASERVERPACKETS_H

// What a link server makes of a packet: which client packets the device answers, which are
// chunks of a multi-packet bytes write, which enable streaming, which never reach the device,
// and which device packet answers which request. Internal to the server.

#include <stdbool.h>
#include <stdint.h>

#include "aPacket.h"

// A chunk of a bytes write: a UEI set carrying a bytes value (or the upgrade entity's, whose
// command is not a UEI payload but whose bytes writes are), of at least one trailer byte.
bool aServerPacket_IsBytesChunk(const aPacket* packet);
// A full chunk with more to follow: the device answers only the last chunk of a write.
bool aServerPacket_IsContinuingChunk(const aPacket* packet);
// A device reply that more reply packets follow (a multi-packet bytes value).
bool aServerPacket_ReplyContinues(const aPacket* packet);
// Whether the device answers this client packet; link-control packets it does not.
bool aServerPacket_IsResponseRequired(const aPacket* packet);
// A route switch: the server's link keeps its own route; a client's is never forwarded.
bool aServerPacket_IsBlacklisted(const aPacket* packet);
// A client's request to start streaming an entity's values.
bool aServerPacket_IsStreamEnable(const aPacket* packet);
// Whether the device packet answers the request: an empty packet answers the address query;
// otherwise it comes from the request's address and repeats its command byte.
bool aServerPacket_Answers(const aPacket* reply, const aPacket* request);

#endif
