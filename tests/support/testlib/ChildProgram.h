#ifndef TESTLIB_CHILDPROGRAM_H
#define TESTLIB_CHILDPROGRAM_H

#include <string>
#include <vector>

// A cross build's tests run in a user-mode emulator, and so must every program of the build that
// they start: the kernel here runs only programs of its own machine (binfmt_misc, which could hand
// the others to the emulator, is not there in every container).

// The emulator that runs this build's programs; "" when they run directly.
std::string ChildEmulator();
// The command line that runs argv (argv[0] a path): a program of this build goes through the
// emulator when there is one, any other program runs as it is.
std::vector<std::string> ChildCommand(std::vector<std::string> argv);
// The same for a shell command line: the words joined by spaces, unquoted.
std::string ChildShellCommand(const std::vector<std::string>& argv);
// The death test style for a death test that needs a process where nothing else ran: "threadsafe"
// runs this program again, which only the emulator can do under a cross build, so there it is
// "fast" (a fork), which ctest's one test per process also keeps fresh.
const char* FreshProcessDeathTestStyle();
// The path of this test program itself (even under the emulator, whose path /proc/PID/exe names).
std::string SelfPath();

#endif
