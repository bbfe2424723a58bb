// Feeds arbitrary chip replies to the ISP client's readers. The first byte
// picks the operation and the echo setting; the rest is what the chip says,
// followed by the end of the stream so no reader waits on a clock.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NXPSerialClass.h"
#include "ScriptStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 2 || size > 4096)
    return 0;
  lpctest::ScriptStream chip;
  chip.replies.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  chip.endIsEOF = true;
  NXPSerialClass client;
  client.stream = chip.open();
  client.readPauseMs = 0;  // the scripted chip's bytes are all there: nothing to wait for
  client.echo = (data[0] & 0x80) != 0;
  const unsigned count = 4u * (1u + data[1] % 64);  // a legal transfer size, up to 256

  switch (data[0] % 6) {
  case 0:
    client.Unlock();
    break;
  case 1: {
    if (client.GetDeviceID() != aErrNone)
      for (uint32_t w : client.deviceID)
        if (w != 0)
          std::abort();  // a failed read must not leave words behind
    break;
  }
  case 2: {
    unsigned char out[256];
    std::memset(out, 0x5A, sizeof out);
    client.Write(NXPSerialClass::WRITE_ADDRESS, count, out);
    break;
  }
  case 3: {
    // Echo off: with it on, the acknowledgement read waits on the clock.
    client.echo = false;
    unsigned char dest[256 + 16];
    std::memset(dest, 0xA5, sizeof dest);
    client.Read(0, count, dest);
    for (unsigned i = count; i < sizeof dest; ++i)
      if (dest[i] != 0xA5)
        std::abort();  // wrote past the destination
    break;
  }
  case 4: {
    unsigned char major = 0, minor = 0;
    long part = 0;
    client.GetBootLoaderVersion(&major, &minor);
    client.GetPartNumber(&part);
    break;
  }
  default: {
    const std::string line(chip.replies);
    NXPSerialClass::GetErrorText(line.c_str());
    unsigned char out[64];
    const unsigned room = data[1] % 64;
    if (NXPSerialClass::uudecode(out, room, line.c_str()) > room)
      std::abort();
    break;
  }
  }
  return 0;
}
