#ifndef TESTLIB_BACKGROUNDPROCESS_H
#define TESTLIB_BACKGROUNDPROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A program run in the background until Stop() or the end of the object, standard input empty,
// standard output and error together in one log file.
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  ~BackgroundProcess() { Stop(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Starts argv[0] (a path) with the rest as arguments; false when it cannot be started.
  bool Start(std::vector<std::string> argv, const std::string& logFile);
  // Asks isReady every 10 ms, up to `polls` times, while the program runs; false when the
  // program exited first or time ran out.
  bool WaitUntil(const std::function<bool()>& isReady, int polls);
  // Stops the program (SIGTERM) and returns its exit status (-1 when it did not exit normally).
  int Stop();

 private:
  void Reaped(int status);

  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

#endif
