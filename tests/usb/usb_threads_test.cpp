// A USB stream read by one thread while another writes it, as the link
// engine's receive and send threads do.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "aUSBSeamScript.h"
#include "aUSBStream.h"

namespace {

TEST(UsbThreads, ReadAndWriteAtOnce) {
  aUSBScript script({aUSBScriptDevice::Module("0012ABCD", 64, 64)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(0x0012ABCD, &stream));

  constexpr size_t kBytes = 4000;
  std::vector<uint8_t> sent(kBytes);
  for (size_t i = 0; i < kBytes; ++i) sent[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> received;
  std::thread reader([&] {
    while (received.size() < kBytes) {
      uint8_t byte = 0;
      const aErr err = aStream_Read(stream, &byte, 1);
      if (err == aErrNone) received.push_back(byte);
      else if (err != aErrNotReady) break;
    }
  });
  std::thread writer([&] {
    for (size_t i = 0; i < kBytes; i += 30) {
      const size_t n = std::min<size_t>(30, kBytes - i);
      ASSERT_EQ(aErrNone, aStream_Write(stream, sent.data() + i, n));
    }
  });
  for (size_t i = 0; i < kBytes; i += 100) script.peerSend(0, std::vector<uint8_t>(sent.begin() + i, sent.begin() + i + 100));
  writer.join();
  reader.join();
  EXPECT_EQ(sent, received);
  EXPECT_TRUE(script.peerWaitReceived(0, kBytes, std::chrono::seconds(5)));
  EXPECT_EQ(sent, script.peerReceived(0));
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
  EXPECT_EQ(0, script.openHandles());
}

}  // namespace
