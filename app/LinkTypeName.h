#ifndef UPDATER_LINKTYPENAME_H
#define UPDATER_LINKTYPENAME_H

#include "aLinkSpec.h"

// The name the listings give a transport: "USB", "TCPIP", else "Unknown".
const char* LinkTypeName(linkType type);

#endif
