// The callback ring alone and across two threads, and the stream filter's
// cost per received packet: a cached sample, a sample that queues a
// callback job, and a packet that is not a stream packet at all.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "LinkImpl.h"

using namespace Tovanire::Jorvanite;

namespace {

void BM_RingPushPop(benchmark::State& state) {
  Tovanire::LocklessQueue_SPSC<asyncPacket> ring(kStreamQueueSlots);
  asyncPacket job, out;
  for (auto _ : state) {
    ring.push(job);
    ring.pop(&out);
    benchmark::DoNotOptimize(out.packet);
  }
}
BENCHMARK(BM_RingPushPop);

// Values handed from one thread to another as fast as the consumer takes
// them; either side yields when the ring gives it nothing to do.
void BM_RingAcrossThreads(benchmark::State& state) {
  Tovanire::LocklessQueue_SPSC<uint64_t> ring(kStreamQueueSlots);
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    uint64_t v = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      if (!ring.pop(&v)) std::this_thread::yield();
    }
  });
  uint64_t next = 0;
  for (auto _ : state) {
    while (!ring.push(next)) std::this_thread::yield();
    ++next;
  }
  stop = true;
  consumer.join();
  state.SetItemsProcessed(static_cast<int64_t>(next));
}
BENCHMARK(BM_RingAcrossThreads)->UseRealTime();

const uint8_t kSample[] = {0x12, 0x03, 0x41, 2, 0, 0, 0, 0, 0, 0, 0, 7, 0x01, 0x02, 0};
const uint8_t kReply[] = {0x03, 0x07, 0x00, 0x12, 0x34, 0x56, 0x78};

// state.range(0): 1 when the covering subscription has a callback.
void BM_FilterSample(benchmark::State& state) {
  Link::impl impl(nullptr, "bench");
  StreamEntry sub;
  sub.key = Link::createStreamKey(4, 0x12, 0xFF, 1, 0xFF);
  if (state.range(0)) sub.callback = [](const aPacket*, void*) -> uint8_t { return 0; };
  impl.streamMap[sub.key] = sub;
  // Unrelated subscriptions, so lookups walk a map of some size.
  for (uint8_t c = 0x20; c < 0x40; ++c) impl.streamMap[Link::createStreamKey(4, c, 0xFF, 0, 0xFF)] = StreamEntry{};
  aPacket* packet = aPacket_CreateWithData(4, sizeof kSample, kSample);
  asyncPacket job;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Link::impl::linkStreamFilter(packet, &impl));
    while (impl.streams.queue.pop(&job)) aPacket_Destroy(&job.packet);
  }
  aPacket_Destroy(&packet);
}
BENCHMARK(BM_FilterSample)->Arg(0)->Arg(1);

void BM_FilterNotAStreamPacket(benchmark::State& state) {
  Link::impl impl(nullptr, "bench");
  impl.streamMap[Link::createStreamKey(4, 0x12, 0xFF, 1, 0xFF)] = StreamEntry{};
  aPacket* packet = aPacket_CreateWithData(4, sizeof kReply, kReply);
  for (auto _ : state) benchmark::DoNotOptimize(Link::impl::linkStreamFilter(packet, &impl));
  aPacket_Destroy(&packet);
}
BENCHMARK(BM_FilterNotAStreamPacket);

}  // namespace

BENCHMARK_MAIN();
