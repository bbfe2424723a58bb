#include <gtest/gtest.h>

#include "aPacketFifo.h"

namespace {

// Its own process, so that no other test has made a queue before.
TEST(FifoIds, FirstIdsOfProcess)
{
  aPacketFifoId a = aPacketFifo_Create();
  aPacketFifoId b = aPacketFifo_Create();
  EXPECT_EQ(1u, a);
  EXPECT_EQ(2u, b);
  aPacketFifo_Destroy(&a);
  aPacketFifoId c = aPacketFifo_Create();
  EXPECT_EQ(3u, c);  // never handed out twice
  aPacketFifo_Destroy(&b);
  aPacketFifo_Destroy(&c);
}

}  // namespace
