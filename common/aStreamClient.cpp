#include "aStreamClient.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "aPacket.h"
#include "aTime.h"
#include "aZmqPair.h"
#include "aZmqSignals.h"

namespace {

constexpr int kSendTries = 100;
constexpr uint64_t kSendRetryMS = 1;

bool sValid(const aStreamZeroMQClient* client) {
  return client && client->server;
}

// Sends the bytes as one frame without waiting, retrying a full queue; the
// frame is dropped after the last failed try.
void sSendWithRetries(zsock_t* socket, zframe_t** frame) {
  for (int i = 0; i < kSendTries; ++i) {
    if (zframe_send(frame, socket, ZFRAME_DONTWAIT) == 0)
      return;
    aTime_MSSleep(kSendRetryMS);
  }
  zframe_destroy(frame);
}

void sForwardInterrupt() {
  if (!zsys_interrupted)
    return;
  // Hand the Ctrl+C to whatever handling the process had before CZMQ's.
  zsys_handler_set(nullptr);
  kill(getpid(), SIGINT);
  zsys_handler_reset();
}

void sBrokerTask(zsock_t* pipe, void* arg) {
  aStreamZeroMQClient* client = static_cast<aStreamZeroMQClient*>(arg);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, client->server, client->outgoingBrokerEnd, nullptr);
  zsock_signal(pipe, 0);
  if (!poller)
    return;
  while (true) {
    void* which = zpoller_wait(poller, kClientGetWaitMS);
    sForwardInterrupt();
    if (which == pipe)
      break;
    if (which == client->server) {
      zframe_t* frame = zframe_recv(client->server);
      if (frame)
        sSendWithRetries(client->incomingBrokerEnd, &frame);
    } else if (which == client->outgoingBrokerEnd) {
      zframe_t* frame = zframe_recv(client->outgoingBrokerEnd);
      if (frame && zframe_send(&frame, client->server, ZFRAME_DONTWAIT) != 0)
        zframe_destroy(&frame);
    } else if (!which && zpoller_terminated(poller)) {
      break;
    }
  }
  zpoller_destroy(&poller);
}

void sReleaseContext(aStreamZeroMQClient* client) {
  if (client->broker)
    zactor_destroy(&client->broker);
  zpoller_destroy(&client->poller);
  zsock_destroy(&client->server);
  zsock_destroy(&client->incomingReadEnd);
  zsock_destroy(&client->outgoingWriteEnd);
  zsock_destroy(&client->incomingBrokerEnd);
  zsock_destroy(&client->outgoingBrokerEnd);
  zframe_destroy(&client->current);
  delete client;
}

// An in-process pair (aZmqPair.h): true when made, else *err tells whether
// a socket or the bind and connect failed.
bool sMakePair(zsock_t** bound, zsock_t** connected, aErr* err) {
  *bound = zsock_new(ZMQ_DEALER);
  *connected = zsock_new(ZMQ_DEALER);
  if (!*bound || !*connected) {
    *err = aErrMemory;
    return false;
  }
  if (!aZmqPair_Join(*bound, *connected)) {
    *err = aErrConnection;
    return false;
  }
  return true;
}

aErr sGet(uint8_t* byte, void* ref) {
  aStreamZeroMQClient* client = static_cast<aStreamZeroMQClient*>(ref);
  if (!sValid(client) || !byte)
    return aErrParam;
  if (!client->current) {
    void* which = zpoller_wait(client->poller, kClientGetWaitMS);
    if (!which)
      return aErrNotReady;
    if (which != client->incomingReadEnd)
      return aErrUnknown;
    zframe_t* frame = zframe_recv(client->incomingReadEnd);
    if (!frame)
      return aErrIO;
    // The server never sends an empty frame; skip it so later ones are read.
    if (!aStreamClient_TakeFrame(client, &frame))
      return aErrNotReady;
  }
  return aStreamClient_NextByte(client, byte);
}

// Lets the link's receive thread sleep until the server sends something.
aErr sWait(uint64_t ms, void* ref) {
  aStreamZeroMQClient* client = static_cast<aStreamZeroMQClient*>(ref);
  if (!sValid(client))
    return aErrParam;
  if (client->current)
    return aErrNone;
  const int timeout = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
  return zpoller_wait(client->poller, timeout) ? aErrNone : aErrTimeout;
}

aErr sPut(const uint8_t*, void*) {
  return aErrUnimplemented;
}

// The server takes one packet per message, so a pooled write of several
// packets goes out as one message each. Bytes that do not make a whole
// packet go out as they are, as one message.
aErr sWrite(const uint8_t* data, uint64_t length, void* ref) {
  aStreamZeroMQClient* client = static_cast<aStreamZeroMQClient*>(ref);
  if (!sValid(client))
    return aErrParam;
  uint64_t at = 0;
  while (at < length) {
    const uint64_t take = aStreamClient_MessageLength(data + at, length - at);
    zframe_t* frame = zframe_new(data + at, take);
    if (!frame)
      return aErrMemory;
    sSendWithRetries(client->outgoingWriteEnd, &frame);
    at += take;
  }
  return aErrNone;
}

aErr sDelete(void* ref) {
  aStreamZeroMQClient* client = static_cast<aStreamZeroMQClient*>(ref);
  if (!sValid(client))
    return aErrIO;
  sReleaseContext(client);
  return aErrNone;
}

}  // namespace

bool aStreamClient_TakeFrame(aStreamZeroMQClient* client, zframe_t** frame) {
  zframe_destroy(&client->current);
  client->index = 0;
  client->size = 0;
  if (!*frame || zframe_size(*frame) == 0) {
    zframe_destroy(frame);
    return false;
  }
  client->current = *frame;
  client->size = zframe_size(*frame);
  *frame = nullptr;
  return true;
}

aErr aStreamClient_NextByte(aStreamZeroMQClient* client, uint8_t* byte) {
  if (!client->current || client->index >= client->size)
    return aErrIndexRange;
  *byte = zframe_data(client->current)[client->index++];
  if (client->index == client->size) {
    zframe_destroy(&client->current);
    client->index = 0;
    client->size = 0;
  }
  return aErrNone;
}

uint64_t aStreamClient_MessageLength(const uint8_t* data, uint64_t length) {
  if (length >= 2 && data[1] <= aPACKET_MAX_DATA && data[1] + 2u <= length)
    return data[1] + 2u;
  return length;
}

#if defined(__SANITIZE_THREAD__)
// libzmq is not built with ThreadSanitizer: it hands messages between its
// threads through lock-free queues and eventfd wake-ups the sanitizer cannot
// see, so a message made on one thread and read or freed on another reads as
// a race. Every program on a link has this file (the link table makes
// client streams). Weak, so a program that brings suppressions of its own keeps them.
extern "C" __attribute__((weak)) const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:libczmq.so\n";
}
#endif

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) {
  if (!stream)
    return aErrParam;
  *stream = nullptr;
  aZmq_LeaveSignalsAlone();
  aStreamZeroMQClient* client = new (std::nothrow) aStreamZeroMQClient{};
  if (!client)
    return aErrMemory;
  aErr err = aErrNone;
  // The pairs are in-process; the port fields stay 0.
  const bool pairs = sMakePair(&client->outgoingWriteEnd, &client->outgoingBrokerEnd, &err) &&
                     sMakePair(&client->incomingReadEnd, &client->incomingBrokerEnd, &err);
  if (pairs) {
    client->server = zsock_new(ZMQ_DEALER);
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = address;
    inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
    if (!client->server) {
      err = aErrMemory;
    } else if (zsock_connect(client->server, "tcp://%s:%u", dotted, static_cast<unsigned>(port)) != 0) {
      err = aErrConnection;
    }
  }
  if (err == aErrNone) {
    client->poller = zpoller_new(client->incomingReadEnd, nullptr);
    if (!client->poller)
      err = aErrMemory;
    // The broker alone answers an interruption (it hands it to the process
    // and ends). Were the receive thread's waits to end on CZMQ's interrupted
    // flag as well, they would return at once for good in a process that
    // lives on after a Ctrl+C, and the link's receive thread would spin.
    if (client->poller)
      zpoller_set_nonstop(client->poller, true);
  }
  if (err == aErrNone) {
    client->broker = zactor_new(sBrokerTask, client);
    if (!client->broker || zsock_wait(client->broker) != 0)
      err = aErrMemory;
  }
  aStream* made = nullptr;
  if (err == aErrNone) {
    made = aStream_Create(sGet, sPut, sWrite, sDelete, client);
    if (!made)
      err = aErrResource;
  }
  if (err != aErrNone) {
    sReleaseContext(client);
    return err;
  }
  aStream_SetWaitProc(made, sWait);
  *stream = made;
  return aErrNone;
}
