#include "aThread.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

struct aThread {
  pthread_t thread;
  aThreadProc proc;
  void* argument;
};

namespace {

void* sRun(void* handle) {
  aThread* thread = static_cast<aThread*>(handle);
  thread->proc(thread->argument);
  return nullptr;
}

}  // namespace

aThread* aThread_Create(aThreadProc proc, void* argument) {
  if (proc == nullptr) return nullptr;
  aThread* thread = static_cast<aThread*>(calloc(1, sizeof(aThread)));
  if (thread == nullptr) return nullptr;
  thread->proc = proc;
  thread->argument = argument;
  if (pthread_create(&thread->thread, nullptr, sRun, thread) != 0) {
    free(thread);
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return aErrParam;
  const int error = pthread_join((*thread)->thread, nullptr);
  free(*thread);
  *thread = nullptr;
  return error;
}

aErr aThread_Yield(void) {
  usleep(5);
  return aErrNone;
}
