#include "Updater.h"

Updater::Updater(const std::string& serverUrl, const std::string& storageDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl), storageDir(storageDir), display(display), ueiBytesLoad(false), recoveryKind(RecoveryKind::None) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool load) { ueiBytesLoad = load; }
