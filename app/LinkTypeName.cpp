#include "LinkTypeName.h"

const char* LinkTypeName(linkType type) {
  if (type == USB) return "USB";
  if (type == TCPIP) return "TCPIP";
  return "Unknown";
}
