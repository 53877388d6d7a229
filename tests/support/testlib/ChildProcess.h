#ifndef TESTLIB_CHILDPROCESS_H
#define TESTLIB_CHILDPROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>

// Starts `body` in a forked child, which exits with status 0 when `body` returns.
pid_t StartChild(const std::function<void()>& body);

// Runs `body` in a forked child and returns the text it produced. With `unprivileged` the child
// first switches to the user "nobody" when running as root, so permission bits apply to it.
// A child that does not exit normally yields "child failed: status N".
std::string RunInChild(const std::function<std::string()>& body, bool unprivileged = false);

// True when RunInChild(..., true) really runs without root's privileges.
bool CanDropPrivileges();

#endif
