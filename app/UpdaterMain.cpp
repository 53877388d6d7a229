#include "UpdaterMain.h"

#include <cstdio>

#include "AppText.h"
#include "CLI_Display.h"
#include "CommandDispatch.h"
#include "CommandLine.h"
#include "JSON_Display.h"
#include "Log.h"
#include "Updater.h"
#include "aDirectory.h"

namespace frontend {

bool _prepare_storage_dir(Parameters& parameters, UpdaterDisplayInterface& display) {
  if (parameters.storageDir.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      return false;
    }
    parameters.storageDir = BuildPath(home, ".tessaron", nullptr);
  }
  parameters.storageDir = BuildPath(parameters.storageDir.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(parameters.storageDir.c_str(), 0755) != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s",
                    parameters.storageDir.c_str());
    return false;
  }
  return true;
}

}  // namespace frontend

int UpdaterMain(int argc, const char* const* argv) {
  using namespace frontend;
  Parameters parameters;
  CLI_Display console;
  JSON_Display scripted;
  Log::SetOutput(stderr);
  // Problems of the command line are errors, which both displays write to standard error.
  const int parsed = _get_params(console, argc, argv, parameters);
  UpdaterDisplayInterface& display = parameters.json ? static_cast<UpdaterDisplayInterface&>(scripted) : console;
  if (parsed != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    return 1;
  }
  _display_app_version(display);
  if (parameters.commands.IsSet(CMD_HELP) || !parameters.commands.IsSet(COMMAND_MASK)) {
    _display_copyright(display);
    _display_usage(parameters.logMaskGiven, parameters.help);
    return 0;
  }
  if (!_prepare_storage_dir(parameters, display)) return 1;
  Updater updater(parameters.serverUrl, parameters.storageDir, display);
  return _run_commands(parameters, updater, display);
}
