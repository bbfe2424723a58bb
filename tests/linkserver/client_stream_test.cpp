// The client byte stream against a bare ROUTER standing in for the server:
// byte-by-byte delivery, the read time-out, writes as one message per
// packet, a server that starts listening late, and teardown.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "aStreamClient.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// A ROUTER on 127.0.0.1 that remembers the one client that spoke to it.
class FakeServer {
 public:
  explicit FakeServer(uint16_t port = 0) {
    router_ = zsock_new(ZMQ_ROUTER);
    zsock_set_linger(router_, 0);
    int bound = -1;
    if (!port) {
      bound = zsock_bind(router_, "tcp://127.0.0.1:*");
    } else {
      // A port just given up is released in the background: try for a while.
      for (int i = 0; i < 100 && bound < 0; ++i) {
        bound = zsock_bind(router_, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
        if (bound < 0) zclock_sleep(50);
      }
    }
    port_ = bound > 0 ? static_cast<uint16_t>(bound) : 0;
  }
  ~FakeServer() {
    zframe_destroy(&client_);
    zsock_destroy(&router_);
  }
  uint16_t port() const { return port_; }
  // The next message's content, or empty after the time-out.
  Bytes next(int timeoutMs = 5000) {
    zsock_set_rcvtimeo(router_, timeoutMs);
    zmsg_t* msg = zmsg_recv(router_);
    if (!msg) return {};
    zframe_destroy(&client_);
    client_ = zmsg_pop(msg);
    zframe_t* content = zmsg_pop(msg);
    Bytes b = content ? Bytes(zframe_data(content), zframe_data(content) + zframe_size(content)) : Bytes{};
    zframe_destroy(&content);
    zmsg_destroy(&msg);
    return b;
  }
  void reply(const Bytes& payload) {
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(zframe_send(&client_, router_, ZFRAME_MORE | ZFRAME_REUSE), 0);
    zframe_t* f = zframe_new(payload.data(), payload.size());
    ASSERT_EQ(zframe_send(&f, router_, 0), 0);
  }

 private:
  zsock_t* router_ = nullptr;
  zframe_t* client_ = nullptr;
  uint16_t port_ = 0;
};

// Reads until `n` bytes came or a read gives something other than a byte
// or aErrNotReady (at most `idle` empty reads in a row).
Bytes readBytes(aStream* s, size_t n, int idle = 5) {
  Bytes out;
  int empty = 0;
  while (out.size() < n && empty < idle) {
    uint8_t b = 0;
    aErr err = aStream_Read(s, &b, 1);
    if (err == aErrNone) {
      out.push_back(b);
      empty = 0;
    } else if (err == aErrNotReady) {
      ++empty;
    } else {
      break;
    }
  }
  return out;
}

class ClientStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server_.port(), 0);
    ASSERT_EQ(aStream_CreateClient(loopback(), server_.port(), &stream_), aErrNone);
    ASSERT_NE(stream_, nullptr);
    // Introduce the client to the server so it can be answered.
    const Bytes hello{4, 1, 0x17};
    ASSERT_EQ(aStream_Write(stream_, hello.data(), hello.size()), aErrNone);
    ASSERT_EQ(server_.next(), hello);
  }
  void TearDown() override {
    if (stream_) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
  }
  FakeServer server_;
  aStream* stream_ = nullptr;
};

TEST_F(ClientStreamTest, MessagesAreHandedOutOneByteAtATimeInOrder) {
  server_.reply({4, 3, 0x17, 1, 2});
  Bytes batch(4080);
  for (size_t i = 0; i < batch.size(); ++i) batch[i] = static_cast<uint8_t>(i * 7);
  server_.reply(batch);
  EXPECT_EQ(readBytes(stream_, 5), (Bytes{4, 3, 0x17, 1, 2}));
  EXPECT_EQ(readBytes(stream_, batch.size()), batch);
  // Nothing more: the next read runs into the time-out.
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(stream_, &b, 1), aErrNotReady);
  server_.reply({6, 0});
  EXPECT_EQ(readBytes(stream_, 2), (Bytes{6, 0}));
}

TEST_F(ClientStreamTest, EmptyMessageIsSkippedAndLaterOnesRead) {
  server_.reply({});
  server_.reply({4, 0});
  EXPECT_EQ(readBytes(stream_, 2), (Bytes{4, 0}));
}

TEST_F(ClientStreamTest, EachPacketOfAWriteIsOneMessage) {
  const Bytes one{0xAF, 1, 1};
  EXPECT_EQ(aStream_Write(stream_, one.data(), 1), aErrUnimplemented);  // one byte goes through put
  // A pooled write of three packets, the middle one empty.
  const Bytes pooled{4, 2, 0x17, 9, 0xAD, 0, 4, 1, 0x17};
  EXPECT_EQ(aStream_Write(stream_, pooled.data(), pooled.size()), aErrNone);
  EXPECT_EQ(server_.next(), (Bytes{4, 2, 0x17, 9}));
  EXPECT_EQ(server_.next(), (Bytes{0xAD, 0}));
  EXPECT_EQ(server_.next(), (Bytes{4, 1, 0x17}));
  // Bytes that make no whole packet go out as they are.
  const Bytes partial{4, 9, 0x17};
  EXPECT_EQ(aStream_Write(stream_, partial.data(), partial.size()), aErrNone);
  EXPECT_EQ(server_.next(), partial);
}

TEST(ClientStreamCreateTest, NullStreamAddressIsRefused) {
  EXPECT_EQ(aStream_CreateClient(loopback(), 1, nullptr), aErrParam);
}

TEST(ClientStreamCreateTest, ServerListeningLateIsReachedOnceItListens) {
  // A port nothing listens on, picked by the kernel (ZeroMQ's own wildcard
  // binds count up from 49152 and would soon take it for the stream's pairs).
  uint16_t port = 0;
  {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = loopback();
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    close(fd);
  }
  ASSERT_NE(port, 0);
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  ASSERT_EQ(aStream_CreateClient(loopback(), port, &stream), aErrNone);
  ASSERT_NE(stream, nullptr);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
  FakeServer late(port);
  ASSERT_EQ(late.port(), port);
  // Written until the server hears one (writes before the connection is
  // made may be queued or dropped).
  const Bytes hello{4, 1, 0x17};
  Bytes heard;
  for (int i = 0; i < 20 && heard.empty(); ++i) {
    ASSERT_EQ(aStream_Write(stream, hello.data(), hello.size()), aErrNone);
    heard = late.next(500);
  }
  ASSERT_EQ(heard, hello);
  late.reply({4, 0});
  EXPECT_EQ(readBytes(stream, 2), (Bytes{4, 0}));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
}

TEST(ClientStreamCreateTest, DestroyWhileIdleEndsTheBrokerThroughItsPipe) {
  for (int i = 0; i < 5; ++i) {
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(loopback(), 9, &stream), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  }
}

}  // namespace
