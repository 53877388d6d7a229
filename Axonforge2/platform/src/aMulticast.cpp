#include "aMulticast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

struct aMulticast {
  struct in_addr group;
  struct in_addr interfaceAddress;
  uint16_t port;
  bool sender;
  struct sockaddr_in destination;  // group and port, where a sender sends
  int socket;
};

namespace {

constexpr int kReceiveTimeoutSeconds = 1;

template <typename T>
bool setOption(int fd, int level, int name, const T& value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool bindSocket(const aMulticast* m) {
  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  // A receiver takes the port on every address; a sender an ephemeral port on its interface.
  local.sin_addr.s_addr = m->sender ? m->interfaceAddress.s_addr : htonl(INADDR_ANY);
  local.sin_port = m->sender ? 0 : htons(m->port);
  return bind(m->socket, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) == 0;
}

bool configure(const aMulticast* m) {
  const int off = 0;
  const unsigned char ttl = 1, loop = 1;
  struct ip_mreq membership;
  membership.imr_multiaddr = m->group;
  membership.imr_interface = m->interfaceAddress;
  struct timeval timeout = {kReceiveTimeoutSeconds, 0};
  return setOption(m->socket, SOL_SOCKET, SO_REUSEADDR, off) && bindSocket(m) &&
         setOption(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, membership) &&
         setOption(m->socket, IPPROTO_IP, IP_MULTICAST_IF, m->interfaceAddress) &&
         setOption(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, ttl) &&
         setOption(m->socket, SOL_SOCKET, SO_RCVTIMEO, timeout) &&
         setOption(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, loop);
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* group, uint16_t port, bool sender) {
  if (!group) return nullptr;
  aMulticast* m = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
  if (!m) return nullptr;
  m->interfaceAddress.s_addr = interfaceAddress ? interfaceAddress : htonl(INADDR_LOOPBACK);
  m->port = port;
  m->sender = sender;
  m->socket = -1;
  if (inet_pton(AF_INET, group, &m->group) == 1) {
    m->destination.sin_family = AF_INET;
    m->destination.sin_addr = m->group;
    m->destination.sin_port = htons(port);
    m->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (m->socket < 0 || !configure(m)) {
    aMulticast_Destroy(&m);
    return nullptr;
  }
  return m;
}

int aMulticast_Send(aMulticast* m, const void* bytes, uint32_t length) {
  if (!m) return aMULTICAST_NO_SOCKET;
  if (!m->sender) return aMULTICAST_WRONG_ROLE;
  ssize_t n = sendto(m->socket, bytes, length, 0, reinterpret_cast<const struct sockaddr*>(&m->destination),
                     sizeof m->destination);
  return n < 0 ? aMULTICAST_ERROR : static_cast<int>(n);
}

int aMulticast_Receive(aMulticast* m, void* buffer, uint32_t size) {
  if (!m) return aMULTICAST_NO_SOCKET;
  if (m->sender) return aMULTICAST_WRONG_ROLE;
  ssize_t n = recv(m->socket, buffer, size, MSG_WAITALL);
  return n < 0 ? aMULTICAST_ERROR : static_cast<int>(n);
}

int aMulticast_Destroy(aMulticast** m) {
  if (!m || !*m) return aMULTICAST_NO_SOCKET;
  if ((*m)->socket >= 0) close((*m)->socket);
  free(*m);
  *m = nullptr;
  return 0;
}
