#ifndef AXONFORGE2_ZBEACONINTERFACE_H
#define AXONFORGE2_ZBEACONINTERFACE_H

// CZMQ beacons take their network interface from one process-wide name. These functions
// serialise its use: whoever selects a name holds the lock until its beacon is set up (a link
// server) or its whole search is over (discovery), and may keep the previous name to restore.
// Acceptable names: an IPv4 address in dotted form, "" (CZMQ's own choice) or "*".

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

// Refuses an unacceptable name (false, nothing locked); otherwise locks and selects it.
bool zBeaconInterface_setAndLock(const char* name);
void zBeaconInterface_unlock(void);
// As zBeaconInterface_setAndLock, saving the current name first.
bool zBeaconInterface_backupSetAndLock(const char* name);
// Selects the saved name again and unlocks.
void zBeaconInterface_restoreAndUnlock(void);
// The current or the saved name; the AndLock forms take the lock first (release it with
// zBeaconInterface_unlock).
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

#ifdef __cplusplus
}
#endif

#endif
