#ifndef UPDATER_APPVERSION_H
#define UPDATER_APPVERSION_H

// The application's version; the device library reports the same numbers as its own version.
#define UPDATER_VERSION_MAJOR 2
#define UPDATER_VERSION_MINOR 11
#define UPDATER_VERSION_PATCH 2

#endif
