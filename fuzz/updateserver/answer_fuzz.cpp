// Feeds one input to every update-server answer parser (as a body) and to the
// Base64 codec, checking the round trips that must hold. The same bytes also
// make well-formed answers (LF or CR LF line ends) whose results must be what
// was written: the latest build and identifier, the recovery serial number
// and build (decimal, 0x hexadecimal or 0 octal), and a build list, which must
// sort newest version first (each part by its low 8 bits, versions that do
// not parse last, higher builds first among equals).
#include "Base64.h"
#include "FuzzCheck.h"
#include "Log.h"
#include "UpdateServerRequest.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

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

using R = UpdateServerRequest;

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
  uint32_t next32()
  {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v = v << 8 | next();
    return v;
  }
};

std::string format(const char* f, uint32_t v)
{
  char text[32];
  std::snprintf(text, sizeof text, f, v);
  return text;
}

void checkQueryAndRecovery(Bytes in)
{
  const uint32_t serial = in.next32(), build = in.next32();
  const uint8_t style = in.next();
  const std::string eol = (style & 8) ? "\r\n" : "\n";

  std::string latest = "keep", fw = "keep";
  const std::string query = "ok" + eol + format("%u", build) + eol + format("FW-%X", serial) + eol;
  R::ParseQueryBuild(R::SplitAnswerLines(query), latest, fw);
  check(latest == format("%u", build));
  check(fw == format("FW-%X", serial));

  static const char* const kBuildForms[] = {"%u", "0x%x", "0%o"};
  const std::string recovery = "ok" + eol + format((style & 4) ? "0x%x" : "%X", serial) + eol +
                               format(kBuildForms[style % 3], build) + eol;
  uint32_t gotSerial = 0, gotBuild = 0;
  R::ParseRecoveryInfo(R::SplitAnswerLines(recovery), gotSerial, gotBuild);
  check(gotSerial == serial);
  check(gotBuild == build);
}

// Version parts are written up to 765, so the low-8-bit rule matters; a
// major byte of 0xFF writes a version that does not parse.
void checkBuildList(Bytes in)
{
  struct Entry {
    uint32_t build;
    bool parsed;
    std::tuple<uint8_t, uint8_t, uint8_t> version;
  };
  const std::string eol = (in.next() & 1) ? "\r\n" : "\n";
  std::string body = "ok" + eol;
  std::map<std::string, std::string> expected;
  std::map<std::string, Entry> entries;
  for (int n = 0; n < 40 && in.at + 5 <= in.size; ++n) {
    const uint32_t build = static_cast<uint32_t>(in.next()) << 8 | in.next();
    const unsigned major = in.next(), minor = in.next(), patch = in.next();
    const bool parsed = major != 0xFF;
    const std::string version = parsed ? std::to_string(major * 3) + "." + std::to_string(minor * 3) + "." +
                                             std::to_string(patch * 3)
                                       : "v" + std::to_string(minor);
    body += std::to_string(build) + ";" + version + eol;
    const std::string key = std::to_string(build);
    expected.emplace(key, version);  // a build listed twice keeps its first version
    entries.emplace(key, Entry{build, parsed,
                               {static_cast<uint8_t>(major * 3), static_cast<uint8_t>(minor * 3),
                                static_cast<uint8_t>(patch * 3)}});
  }
  std::map<std::string, std::string> builds;
  R::ParseBuildList(R::SplitAnswerLines(body), builds);
  check(builds == expected);

  const auto sorted = R::SortBuildsByVersion(builds);
  check(sorted.size() == builds.size());
  for (size_t i = 0; i + 1 < sorted.size(); ++i) {
    const Entry& a = entries.at(sorted[i].first);
    const Entry& b = entries.at(sorted[i + 1].first);
    check(a.parsed || !b.parsed);
    if (a.parsed == b.parsed && a.parsed && a.version != b.version)
      check(a.version > b.version);
    else if (a.parsed == b.parsed)
      check(a.build > b.build);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  // Format every diagnostic too: nothing is formatted without an output.
  static const bool logging = [] {
    Log::SetOutput(std::fopen("/dev/null", "w"));
    Log::ActivatePackage(DEBUG_ServerComm);
    return true;
  }();
  (void)logging;

  const std::string body = size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  const auto lines = UpdateServerRequest::SplitAnswerLines(body);
  (void)UpdateServerRequest::AnswerIsOk(lines);

  std::string latest, fw;
  UpdateServerRequest::ParseQueryBuild(lines, latest, fw);
  if (fw.find_first_of("\r\n") != std::string::npos || latest.find_first_of("\r\n") != std::string::npos)
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

  checkQueryAndRecovery(Bytes{data, size});
  checkBuildList(Bytes{data, size});
  return 0;
}
