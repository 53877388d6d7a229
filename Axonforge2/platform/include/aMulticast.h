#ifndef AXONFORGE2_AMULTICAST_H
#define AXONFORGE2_AMULTICAST_H

// One UDP socket joined to a multicast group on one interface: a receiver bound to the group's
// port (creation fails while another socket holds that port, which is how a searcher tells that
// a server listens there) or a sender that sends to the group and port.

#include <stdbool.h>
#include <stdint.h>

typedef struct aMulticast aMulticast;

#define aMULTICAST_ERROR -1       // send or receive failed or timed out
#define aMULTICAST_NO_SOCKET -2   // null socket
#define aMULTICAST_WRONG_ROLE -3  // send on a receiver, receive on a sender

#ifdef __cplusplus
extern "C" {
#endif

// interfaceAddress: IPv4 in network byte order, 0 meaning 127.0.0.1; group: dotted text.
// Receivers wait at most 1 s for a datagram. Null on any failure.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, const char* group, uint16_t port, bool sender);
// Bytes sent, or one of the negative codes above.
int aMulticast_Send(aMulticast* socket, const void* bytes, uint32_t length);
// Bytes of one datagram, or one of the negative codes above.
int aMulticast_Receive(aMulticast* socket, void* buffer, uint32_t size);
// Closes and frees the socket and nulls the caller's pointer; 0, or aMULTICAST_NO_SOCKET.
int aMulticast_Destroy(aMulticast** socket);

#ifdef __cplusplus
}
#endif

#endif
