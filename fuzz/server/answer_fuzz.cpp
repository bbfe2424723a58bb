// Feeds one input to every update-server answer parser (as a body) and to the
// Base64 codec, checking the round trips that must hold.
#include "Base64.h"
#include "Log.h"
#include "UpdateServerRequest.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

namespace {

struct Freer {
  void operator()(void* p) const { std::free(p); }
};

void checkRoundTrip(const uint8_t* data, size_t size)
{
  size_t textLen = 0, backLen = 0;
  char* text = base64_encode(data, size, &textLen);
  if (!text)
    std::abort();
  unsigned char* back = base64_decode(text, textLen, &backLen);
  if (!back || backLen != size || (size && std::memcmp(back, data, size) != 0) || back[backLen] != 0)
    std::abort();
  std::free(back);
  std::free(text);
}

void checkDecode(const char* text, size_t size)
{
  size_t n = 0;
  unsigned char* bytes = base64_decode(text, size, &n);
  if (!bytes)
    return;
  if (bytes[n] != 0)
    std::abort();
  // Decoding what we re-encode gives the same bytes back.
  checkRoundTrip(bytes, n);
  std::free(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  // Format every diagnostic too (the output stays unset, so nothing is written).
  static const bool logging = (Log::ActivatePackage(DEBUG_ServerComm), true);
  (void)logging;

  const std::string body = size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  const auto lines = UpdateServerRequest::SplitAnswerLines(body);
  (void)UpdateServerRequest::AnswerIsOk(lines);

  std::string latest, fw;
  UpdateServerRequest::ParseQueryBuild(lines, latest, fw);
  if (fw.find_first_of("\r\n") != std::string::npos)
    std::abort();

  std::string b64;
  UpdateServerRequest::ParseBuild(lines, b64);
  checkDecode(b64.data(), b64.size());

  std::map<std::string, std::string> builds;
  UpdateServerRequest::ParseBuildList(lines, builds);
  const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  if (sorted.size() != builds.size())
    std::abort();
  for (const auto& pair : sorted)
    if (builds.at(pair.first) != pair.second)
      std::abort();

  uint32_t serial = 0, build = 0;
  UpdateServerRequest::ParseRecoveryInfo(lines, serial, build);

  checkDecode(body.data(), body.size());
  checkRoundTrip(data, size);
  return 0;
}
