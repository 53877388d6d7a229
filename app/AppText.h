#ifndef UPDATER_APPTEXT_H
#define UPDATER_APPTEXT_H

#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"

// The front end's steps keep their leading underscores inside their own namespace (the global
// namespace reserves such names).
namespace frontend {

// The front end's fixed texts: version line, ownership notice, usage, fingerprint line.
void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
// Straight to standard error: the short block always; parameters, commands and samples when full;
// the extended block too when full and extended.
void _display_usage(bool extended, bool full);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

}  // namespace frontend

#endif
