#ifndef UPDATER_UPDATERMAIN_H
#define UPDATER_UPDATERMAIN_H

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// The whole program: parse, prepare the storage directory, run the commands. Returns the exit
// status, 0 or 1.
int UpdaterMain(int argc, const char* const* argv);

// The front end's steps keep their leading underscores inside their own namespace (the global
// namespace reserves such names).
namespace frontend {

// Completes parameters.storageDir (the -i directory, or the home directory's ".tessaron", then
// "updater") and creates it with mode 0755. False when that fails; the failure is reported.
bool _prepare_storage_dir(Parameters& parameters, UpdaterDisplayInterface& display);

}  // namespace frontend

#endif
