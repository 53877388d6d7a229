#include "aMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_MAX_NAME + 1];
};

namespace {

// System errors every mutex operation shares; the operation-specific ones are mapped first.
aErr sCommonError(int error) {
  if (error == 0) return aErrNone;
  if (error == EINVAL) return aErrParam;
  return aErrUnknown;
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
  if (name == nullptr) name = "";
  const size_t length = strnlen(name, aMUTEX_MAX_NAME + 1);
  if (length > aMUTEX_MAX_NAME) return nullptr;
  aMutex* mutex = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
  if (mutex == nullptr) return nullptr;
  if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
    free(mutex);
    return nullptr;
  }
  memcpy(mutex->name, name, length);
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : nullptr; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const int error = pthread_mutex_lock(&mutex->mutex);
  return error == EDEADLK ? aErrDuplicate : sCommonError(error);
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const int error = pthread_mutex_trylock(&mutex->mutex);
  return error == EBUSY ? aErrBusy : sCommonError(error);
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const int error = pthread_mutex_unlock(&mutex->mutex);
  return error == EPERM ? aErrPermission : sCommonError(error);
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  // Destroying a held mutex is undefined; a holder keeps it alive and the caller learns it is busy.
  if (pthread_mutex_trylock(&(*mutex)->mutex) == EBUSY) return aErrBusy;
  pthread_mutex_unlock(&(*mutex)->mutex);
  const int error = pthread_mutex_destroy(&(*mutex)->mutex);
  if (error == EBUSY) return aErrBusy;
  free(*mutex);
  *mutex = nullptr;
  if (error == EAGAIN) return aErrResource;
  return sCommonError(error);
}
