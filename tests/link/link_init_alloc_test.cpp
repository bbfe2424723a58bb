// aLink_Init when memory runs out part way: it fails, frees what it made and
// leaves the link as the previous initialisation left it. Allocations fail
// on demand, on the calling thread only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "aLink.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"

namespace {
thread_local long gAllocationsLeft = -1;  // -1: never fail

bool failNow() {
  if (gAllocationsLeft < 0) return false;
  if (gAllocationsLeft == 0) return true;
  --gAllocationsLeft;
  return false;
}
}  // namespace

void* operator new(std::size_t n) {
  if (failNow()) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return failNow() ? nullptr : std::malloc(n ? n : 1); }
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

aErr noGet(uint8_t*, void*) { return aErrNotReady; }
aErr noWrite(const uint8_t*, uint64_t, void*) { return aErrNone; }
aErr noPut(const uint8_t*, void*) { return aErrNone; }

TEST(LinkInitAllocationTest, FailedReinitialisationLeavesThePreviousOne) {
  aLinkRef ref = aLink_Create(aStream_Create(noGet, noPut, noWrite, nullptr, nullptr));
  ASSERT_NE(ref, 0u);
  aLink* link = aLink_GetLinkObject(ref);
  ASSERT_EQ(aLink_Stop(link), aErrNone);

  int failures = 0;
  for (long k = 0; k < 1000; ++k) {
    const aPacketFifoId in = link->inputFifo, out = link->outputFifo;
    aPacket* packet = link->receivePacket;
    aMutex* lock = link->filterLock;
    gAllocationsLeft = k;
    const aLinkRef got = aLink_Init(ref, nullptr);
    gAllocationsLeft = -1;
    if (got == ref) break;
    ++failures;
    EXPECT_EQ(got, 0u);
    // Untouched: the same parts, still alive (a freed queue would read as missing).
    EXPECT_EQ(link->inputFifo, in);
    EXPECT_EQ(link->outputFifo, out);
    EXPECT_EQ(link->receivePacket, packet);
    EXPECT_EQ(link->filterLock, lock);
    aPacket* probe = aPacket_Create();
    EXPECT_EQ(aPacketFifo_Put(out, probe), aErrNone);
    aPacket_Destroy(&probe);
    aLink_DrainPackets(ref, drainAll, nullptr);
    aPacketFifo_DrainPackets(out, drainAll, nullptr);
  }
  EXPECT_GE(failures, 4) << "each of the four parts should have failed once";
  EXPECT_EQ(aLink_Start(ref), aErrNone);
  aLink_Destroy(&ref);
}

}  // namespace
