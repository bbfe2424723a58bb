// Throughput of the packet queue between two threads, and of a socket
// stream read byte by byte through get next to plain recv loops over the
// same loopback connection kind.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "aPacketFifo.h"
#include "aStreamSocket.h"

namespace {

// ---- packet FIFO: one producer, one consumer ----

// The producer may run at most kWindow packets ahead (the queue drops
// everything past 1000); the consumer hands back credit every kBatch.
constexpr int kBatch = 128;
constexpr int kWindow = 6 * kBatch;

void BM_FifoPutTake(benchmark::State& state)
{
  const int64_t perRound = 100000;
  aPacketFifoId queue = aPacketFifo_Create();
  aPacketFifoId credit = aPacketFifo_Create();
  const uint8_t data[8] = {3, 1, 2, 3, 4, 5, 6, 7};
  aPacket* packet = aPacket_CreateWithData(2, sizeof data, data);
  for (auto _ : state) {
    std::thread producer([&] {
      for (int64_t i = 0; i < perRound; ++i) {
        if (i >= kWindow && i % kBatch == 0) {
          aPacket* c = aPacketFifo_Await(credit, 10000);
          if (!c)
            return;
          aPacket_Destroy(&c);
        }
        aPacketFifo_Put(queue, packet);
      }
    });
    for (int64_t i = 0; i < perRound; ++i) {
      aPacket* p = aPacketFifo_Await(queue, 10000);
      if (!p) {
        state.SkipWithError("packet lost");
        break;
      }
      aPacket_Destroy(&p);
      if (i % kBatch == kBatch - 1)
        aPacketFifo_Put(credit, packet);
    }
    producer.join();
    while (aPacket* c = aPacketFifo_Get(credit))
      aPacket_Destroy(&c);
  }
  state.SetItemsProcessed(state.iterations() * perRound);
  aPacket_Destroy(&packet);
  aPacketFifo_Destroy(&queue);
  aPacketFifo_Destroy(&credit);
}
BENCHMARK(BM_FifoPutTake)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- socket reads ----

// A loopback peer that sends without pause until the reader hangs up.
class Flood {
public:
  Flood()
  {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int peer = ::accept(listener_, nullptr, nullptr);
      if (peer < 0)
        return;
      std::vector<char> block(64 * 1024, 'x');
      while (::send(peer, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
      }
      ::close(peer);
    });
  }
  ~Flood()
  {
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

constexpr int64_t kBytesPerRound = 2 * 1024 * 1024;

void BM_SocketStreamGet(benchmark::State& state)
{
  Flood flood;
  aStream* s = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), flood.port(), &s) != aErrNone) {
    state.SkipWithError("connect failed");
    return;
  }
  uint64_t sum = 0;
  for (auto _ : state) {
    for (int64_t n = 0; n < kBytesPerRound;) {
      uint8_t b = 0;
      const aErr e = aStream_Read(s, &b, 1);
      if (e == aErrNone) {
        sum += b;
        ++n;
      } else if (e == aErrNotReady) {
        aStream_WaitReadable(s, 1000);
      } else {
        state.SkipWithError("read failed");
        break;
      }
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * kBytesPerRound);
  aStream_Destroy(&s);
}
BENCHMARK(BM_SocketStreamGet)->Unit(benchmark::kMillisecond)->UseRealTime();

int connectTo(uint16_t port)
{
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A plain recv loop with a buffer of range(0) bytes: 1 is what a byte-wise
// reader without buffering pays, larger buffers bound what is possible.
void BM_PlainRecv(benchmark::State& state)
{
  Flood flood;
  const int fd = connectTo(flood.port());
  if (fd < 0) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)));
  uint64_t sum = 0;
  for (auto _ : state) {
    for (int64_t n = 0; n < kBytesPerRound;) {
      const ssize_t k = ::recv(fd, buf.data(), buf.size(), 0);
      if (k <= 0) {
        state.SkipWithError("recv failed");
        break;
      }
      for (ssize_t i = 0; i < k; ++i)
        sum += buf[static_cast<size_t>(i)];
      n += k;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * kBytesPerRound);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}
BENCHMARK(BM_PlainRecv)->Arg(1)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
