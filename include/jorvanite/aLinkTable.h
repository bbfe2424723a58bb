#pragma once
// The process-wide table of open links: creates, shares, resets and
// destroys them. A link is named by its id; its table entry owns the link
// object (aLink.h), which owns the stream, the queues and the threads.
// Opening a module, address or reference that is already open returns the
// same id with its user count raised; the last aLink_Destroy tears the link
// down. Every create returns an id or 0 and leaves nothing behind on failure.
//
// Threads: any thread may call these. The table lock ("aLink_Managed") is
// held for one table step at a time and never while calling out. A create
// is not one atomic step: callers that may create the same link from two
// threads at once serialise their creates themselves.

#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aLinkSpecifier.h"
#include "aStream.h"

// A USB link to the module with that serial number: opens the USB stream
// (the driver node when present, else libusb), starts the engine, sends
// force route 1 and runs the handshake. An open link is shared; a module
// whose link carries a sharing server gives 0.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);

// A TCP link to address (IPv4, network byte order) and port, no handshake.
// An open TCP link to the same address and port is shared.
aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port);

// A serial link on the device path at one of 2400, 4800, 9600, 19200,
// 38400, 57600, 115200 or 230400 baud (8N1), no handshake; any other rate
// gives 0. An open serial link of that serial number is shared.
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate);

// With a nonzero reference: that link shared (its user count raised), or 0
// when it names no link. With reference 0: a new client link to the
// link-sharing server at address (IPv4, network byte order) and port, no
// handshake; made whether or not the server listens yet (aStreamClient.h).
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference);

// Opens the USB link to the module, starts a link-sharing server on it
// (aServer.h) and returns a new client link of this process to that server,
// after reading the module's address and model through it (5 tries). The
// server's port goes to *port and the interface it serves on to
// *networkInterface (in: the interface asked for, 0 for any). 0 on failure,
// with nothing left behind. The client link's last destroy releases the USB
// link, whose last release destroys the server.
aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool localOnly);

// A link over the caller's stream, handed over to the link (destroyed with
// it, also when the create fails). No handshake.
aLinkRef aLink_Create(aStream* stream);

// Drops one use of the link; the last one stops it and frees its stream,
// queues and threads. *ref is set to 0 in every case. aErrParam for a null
// address or an id not in the table; aErrUnknown for an entry without a
// link object; else the result of destroying the output queue.
aErr aLink_Destroy(aLinkRef* ref);

// Stops the link and starts it again on a new stream (USB, TCPIP and client
// links; up to 20 tries 100 ms apart). The same id; new queues; the user
// filter, pooled mode and packet log are cleared; no handshake. aErrParam
// for an id without an entry or link object, and after 20 tries for links
// whose stream cannot be remade (serial, a caller's stream): the link then
// stays stopped.
aErr aLink_Reset(aLinkRef ref);

// Whether the module of a TCPIP link takes a new connection within ms, made
// beside the link's own and reset again at once (aSocket_Answers): aErrNone
// when it did, aErrConnection when it refused or did not answer in time.
// A module whose old connection goes unanswered but that takes a new one has
// restarted its stack; its old connection would show that only at TCP's
// next retransmission, many seconds later after a dark spell. aErrMode for
// other link types, aErrParam for an id not in the table.
aErr aLink_AnswersAnew(aLinkRef ref, uint64_t ms);
