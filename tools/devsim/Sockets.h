#ifndef DEVSIM_SOCKETS_H
#define DEVSIM_SOCKETS_H

#include <cstdint>
#include <string>

namespace devsim {

// Listening sockets for the simulator's transports. Each returns the descriptor, or -1 with a
// message that says what could not be done (for example a port another process holds).
int ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error);
// A Unix-domain stream socket at `path`. A stale socket file nobody listens on is replaced;
// one with a live listener is refused.
int ListenUnix(const std::string& path, std::string* error);
int AcceptConnection(int listenFd);
void SetNonBlocking(int fd);
void CloseFd(int& fd);
std::string ErrnoText(int error);

}  // namespace devsim

#endif
