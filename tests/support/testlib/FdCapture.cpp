#include "FdCapture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

FdCapture::FdCapture(int fd, Target target) : fd_(fd) {
  fflush(stdout);
  fflush(stderr);
  int redirected = -1;
  if (target == ToFile) {
    char name[] = "/tmp/updater-capture-XXXXXX";
    sink_ = mkstemp(name);
    if (sink_ >= 0) unlink(name);
    redirected = sink_;
  } else if (openpty(&sink_, &slave_, nullptr, nullptr, nullptr) == 0) {
    struct termios raw;
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);  // bytes pass unchanged: no "\n" to "\r\n" translation
    tcsetattr(slave_, TCSANOW, &raw);
    redirected = slave_;
  }
  if (redirected < 0) {
    ADD_FAILURE() << "could not create a capture target";
    return;
  }
  saved_ = dup(fd_);
  dup2(redirected, fd_);
}

FdCapture::~FdCapture() {
  if (!finished_) Finish();
}

void FdCapture::Restore() {
  if (saved_ < 0) return;
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
}

std::string FdCapture::DrainTerminal() {
  // With every slave descriptor closed, the master yields what is left and then EIO.
  close(slave_);
  slave_ = -1;
  std::string text;
  char buf[4096];
  struct pollfd p = {sink_, POLLIN, 0};
  while (poll(&p, 1, 2000) > 0) {
    ssize_t n = read(sink_, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

std::string FdCapture::Finish() {
  finished_ = true;
  Restore();
  std::string text;
  if (slave_ >= 0) {
    text = DrainTerminal();
  } else if (sink_ >= 0) {
    lseek(sink_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(sink_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  }
  if (sink_ >= 0) close(sink_);
  sink_ = -1;
  return text;
}
