#pragma once
// The in-process socket pairs that let one thread hand ZeroMQ messages to
// another, each socket used by one thread only.
#include <czmq.h>

// Binds `bound` to an endpoint unique in this process and connects
// `connected` to it. In-process endpoints, not loopback TCP ports: a DEALER
// elsewhere on the host that still reconnects to a port another server once
// had would otherwise join the pair, and the DEALER's round robin would hand
// it every other message.
bool aZmqPair_Join(zsock_t* bound, zsock_t* connected);
