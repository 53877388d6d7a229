#ifndef UPDATER_COMMANDDISPATCH_H
#define UPDATER_COMMANDDISPATCH_H

#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The front end's steps keep their leading underscores inside their own namespace (the global
// namespace reserves such names).
namespace frontend {

// Runs the requested commands in their fixed order: fingerprint, get, then the first of discover,
// update, list builds and list local builds. Returns the exit status: 1 when any command that ran
// failed, else 0.
int _run_commands(Parameters& parameters, Updater& updater, UpdaterDisplayInterface& display);

}  // namespace frontend

#endif
