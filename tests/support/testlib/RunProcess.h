#ifndef TESTLIB_RUNPROCESS_H
#define TESTLIB_RUNPROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // the exit status, or 128 + signal number when the child was killed
  std::string out;    // everything written to standard output
  std::string err;    // everything written to standard error
  bool timedOut = false;
};

// Runs argv[0] (a path) with the given arguments, standard input empty, and collects both output
// streams. A child that outlives timeoutMs is killed. extraEnvironment ("NAME=value" entries) is
// added to this process's environment for the child, replacing variables of the same name.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs = 30000,
                         const std::vector<std::string>& extraEnvironment = {});
// The same with standard output on a pseudo-terminal (raw mode), so the child sees a terminal there.
ProcessResult RunProcessOnTerminal(const std::vector<std::string>& argv, int timeoutMs = 30000);


// This process's environment with the given "NAME=value" entries added or replaced.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extraEnvironment);

#endif
