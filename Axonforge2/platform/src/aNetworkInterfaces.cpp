#include "aNetworkInterfaces.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
  if (!addresses || capacity == 0) return 0;
  ziflist_t* interfaces = ziflist_new();
  if (!interfaces) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(interfaces); name && count < capacity; name = ziflist_next(interfaces)) {
    struct in_addr address;
    if (inet_pton(AF_INET, ziflist_address(interfaces), &address) == 1) addresses[count++] = address.s_addr;
  }
  ziflist_destroy(&interfaces);
  return count;
}

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t size) {
  if (!buffer || size < aDISCOVERY_IPV4_TEXT_SIZE) return 0;
  struct in_addr in;
  in.s_addr = address;
  if (!inet_ntop(AF_INET, &in, buffer, size)) return 0;
  return static_cast<uint32_t>(strlen(buffer));
}
