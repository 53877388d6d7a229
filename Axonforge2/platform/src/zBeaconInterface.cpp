#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include <mutex>
#include <string>

namespace {

constexpr size_t kBackupCapacity = 100;

std::mutex& interfaceLock() {
  static std::mutex lock;
  return lock;
}

std::string& backup() {
  static std::string saved = [] {
    std::string s;
    s.reserve(kBackupCapacity);
    return s;
  }();
  return saved;
}

bool isAcceptable(const char* name) {
  if (!name) return false;
  if (name[0] == 0 || strcmp(name, "*") == 0) return true;
  struct in_addr address;
  return inet_pton(AF_INET, name, &address) == 1;
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* name) {
  if (!isAcceptable(name)) return false;
  interfaceLock().lock();
  zsys_set_interface(name);
  return true;
}

void zBeaconInterface_unlock(void) { interfaceLock().unlock(); }

bool zBeaconInterface_backupSetAndLock(const char* name) {
  if (!isAcceptable(name)) return false;
  interfaceLock().lock();
  backup() = zsys_interface();
  zsys_set_interface(name);
  return true;
}

void zBeaconInterface_restoreAndUnlock(void) {
  zsys_set_interface(backup().c_str());
  interfaceLock().unlock();
}

const char* zBeaconInterface_get(void) { return zsys_interface(); }

const char* zBeaconInterface_getAndLock(void) {
  interfaceLock().lock();
  return zsys_interface();
}

const char* zBeaconInterface_getBackup(void) { return backup().c_str(); }

const char* zBeaconInterface_getBackupAndLock(void) {
  interfaceLock().lock();
  return backup().c_str();
}
