#ifndef TESTLIB_NETNS_H
#define TESTLIB_NETNS_H

#include <gtest/gtest.h>

// Tests that send UDP discovery traffic run only inside a private network namespace. Put
// RUN_INSIDE_NETNS() first in such a test: outside a namespace it runs the same test again
// through tests/support/netns-run and reports that run's outcome (skipped when namespaces
// cannot be made here); inside, the body goes on.
#define RUN_INSIDE_NETNS()                                                                  \
  do {                                                                                      \
    if (!NetnsIsInside()) {                                                                 \
      const int netnsStatus = NetnsRerunCurrentTest();                                      \
      if (netnsStatus == 77) GTEST_SKIP() << "network namespaces cannot be created here";  \
      ASSERT_EQ(netnsStatus, 0) << "the test failed inside its network namespace";         \
      return;                                                                               \
    }                                                                                       \
  } while (0)

// Tests of multicast sends put this first: a system that cannot choose the interface a multicast
// datagram leaves on (IP_MULTICAST_IF) cannot run them. Linux always can; the user-mode emulator
// that runs a cross build's tests does not implement the option.
#define SKIP_WITHOUT_MULTICAST_INTERFACE()                                                          \
  do {                                                                                              \
    if (!NetnsCanChooseMulticastInterface())                                                        \
      GTEST_SKIP() << "this system cannot choose the interface of multicast sends (IP_MULTICAST_IF)"; \
  } while (0)

// True inside a namespace made by netns-run.
bool NetnsIsInside();
// Runs this test executable with a filter for the current test inside a new namespace;
// returns its exit status (77: no namespace possible), or -1 when it could not be run.
int NetnsRerunCurrentTest();
// True when a UDP socket takes IP_MULTICAST_IF.
bool NetnsCanChooseMulticastInterface();

#endif
