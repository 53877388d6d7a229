#ifndef TESTLIB_UPDATERPROCESS_H
#define TESTLIB_UPDATERPROCESS_H

#include <string>
#include <vector>

#include "RunProcess.h"

// The updater program as built.
std::string UpdaterBinary();

// Runs the updater as a child process with "-i storeDir" ahead of args, so it never touches the
// user's own store. Unless args name an update server with -u, a loopback URL on which nothing
// listens is added, so the default server is never contacted. environment: extra "NAME=value"
// entries (for example DevSimProcess::childEnvironment()).
ProcessResult RunUpdater(const std::string& storeDir, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {}, int timeoutMs = 120000);

#endif
