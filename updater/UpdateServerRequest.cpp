#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"
#include "PrintableText.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <tuple>

namespace {

const char* _default_url(const char* url) {
  return url ? url : JV_UPDATE_SERVER_URL;
}

std::string _serial_text(uint32_t serialNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serialNumber);
  return text;
}

// A judged answer: the body and its lines (views into the body, so the
// object stays where it was filled).
struct Answer {
  std::string body;
  std::vector<std::string_view> lines;
};

void _set_why(std::string* why, std::string text) {
  if (why)
    *why = std::move(text);
}

}  // namespace

// A server's bytes may hold anything.
std::string UpdateServerRequest::ShownText(std::string_view line) {
  constexpr size_t kShown = 40;
  std::string out = PrintableText(line.substr(0, kShown));
  if (line.size() > kShown)
    out += "...";
  return out;
}

namespace {

// GET plus the judgement every operation shares; false (logged, and the
// cause in *why) on transport failure, a status other than 200 or a first
// line not beginning "ok".
bool _exchange(const char* name, const char* url, std::map<std::string, std::string>& params, Answer& answer,
               std::string* why) {
  try {
    HTTPResponse response = HTTPRequest::GET(url, params);
    if (response.get_status() != 200) {
      _set_why(why, "the update server answered HTTP status " + std::to_string(response.get_status()));
      if (std::string_view(name) == "ping")
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                 response.get_response());
      return false;
    }
    answer.body = response.body();
    answer.lines = UpdateServerRequest::SplitAnswerLines(answer.body);
    if (!UpdateServerRequest::AnswerIsOk(answer.lines)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      _set_why(why, answer.lines.empty()
                        ? std::string("the update server's answer is empty")
                        : "the update server answered \"" + UpdateServerRequest::ShownText(answer.lines[0]) +
                              "\" instead of \"ok\"");
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    _set_why(why, e.what());
    return false;
  }
}

struct VersionKey {
  bool parsed = false;
  unsigned char part[3] = {0, 0, 0};
};

// Parts convert with stoi rules and count by their low 8 bits.
VersionKey _version_key(const std::string& version) {
  VersionKey key;
  const std::vector<std::string> parts = UpdateServerRequest::SplitJorvaniteVersion(version);
  if (parts.size() != 3)
    return key;
  try {
    for (int i = 0; i < 3; ++i)
      key.part[i] = static_cast<unsigned char>(std::stoi(parts[i]) & 0xFF);
    key.parsed = true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
  }
  return key;
}

// Orders build texts as numbers when they are all digits (those first),
// otherwise as text; the raw text breaks every tie, so keys never compare equal.
auto _build_key(const std::string& build) {
  const bool numeric =
      !build.empty() && std::all_of(build.begin(), build.end(), [](char c) { return c >= '0' && c <= '9'; });
  std::string_view digits;
  if (numeric) {
    digits = build;
    while (digits.size() > 1 && digits.front() == '0')
      digits.remove_prefix(1);
  }
  return std::make_tuple(numeric ? 1 : 0, digits.size(), digits, std::string_view(build));
}

struct SortEntry {
  std::pair<std::string, std::string> pair;
  VersionKey version;
};

// Strict weak ordering (a total one on distinct builds): parsed versions
// first, newest first; then higher builds first.
bool _sortVersion(const SortEntry& a, const SortEntry& b) {
  if (a.version.parsed != b.version.parsed)
    return a.version.parsed;
  if (a.version.parsed) {
    const auto va = std::make_tuple(a.version.part[0], a.version.part[1], a.version.part[2]);
    const auto vb = std::make_tuple(b.version.part[0], b.version.part[1], b.version.part[2]);
    if (va != vb)
      return va > vb;
  }
  return _build_key(a.pair.first) > _build_key(b.pair.first);
}

std::string _line(const std::vector<std::string_view>& lines, size_t i) {
  return i < lines.size() ? std::string(lines[i]) : std::string();
}

}  // namespace

std::vector<std::string_view> UpdateServerRequest::SplitAnswerLines(std::string_view body) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find('\n', pos);
    if (end == std::string_view::npos)
      end = body.size();
    if (end > pos)
      lines.push_back(body.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

bool UpdateServerRequest::AnswerIsOk(const std::vector<std::string_view>& lines) {
  return !lines.empty() && lines[0].substr(0, 2) == "ok";
}

void UpdateServerRequest::ParseQueryBuild(const std::vector<std::string_view>& lines, std::string& latestBuild,
                                          std::string& firmwareId) {
  // A server that ends its lines with CR LF means the same build and identifier.
  const auto upToCR = [](std::string_view line) { return std::string(line.substr(0, line.find('\r'))); };
  if (lines.size() > 1)
    latestBuild = upToCR(lines[1]);
  if (lines.size() > 2)
    firmwareId = upToCR(lines[2]);
}

void UpdateServerRequest::ParseBuild(const std::vector<std::string_view>& lines, std::string& birdBase64) {
  birdBase64.clear();
  if (lines.size() > 1)
    birdBase64 = std::string(lines[1]);
}

void UpdateServerRequest::ParseBuildList(const std::vector<std::string_view>& lines,
                                         std::map<std::string, std::string>& builds) {
  static constexpr std::string_view kSeparators = ";\r\n";
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", std::string(line).c_str());
    if (line.size() < 3)
      continue;
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (fields.size() < 2) {
      pos = line.find_first_not_of(kSeparators, pos);
      if (pos == std::string_view::npos)
        break;
      size_t end = line.find_first_of(kSeparators, pos);
      if (end == std::string_view::npos)
        end = line.size();
      fields.push_back(line.substr(pos, end - pos));
      pos = end;
    }
    if (fields.empty())
      continue;
    const std::string build(fields[0]);
    const std::string version = fields.size() > 1 ? std::string(fields[1]) : std::string();
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
  }
}

void UpdateServerRequest::ParseRecoveryInfo(const std::vector<std::string_view>& lines, uint32_t& serialNumber,
                                            uint32_t& build) {
  const std::string l0 = _line(lines, 0), l1 = _line(lines, 1), l2 = _line(lines, 2);
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", l0.c_str(), l1.c_str(), l2.c_str());
  if (lines.size() > 1)
    serialNumber = static_cast<uint32_t>(std::strtoul(l1.c_str(), nullptr, 16));
  if (lines.size() > 2)
    build = static_cast<uint32_t>(std::strtoul(l2.c_str(), nullptr, 0));
}

bool UpdateServerRequest::ping(const char* url, std::string* why) {
  std::map<std::string, std::string> params{{"op", "hi"}, {"rv", "2"}};
  Answer answer;
  return _exchange("ping", _default_url(url), params, answer, why);
}

bool UpdateServerRequest::QueryBuild(uint32_t serialNumber, std::string& latestBuild, std::string& firmwareId,
                                     const char* url, std::string* why) {
  std::map<std::string, std::string> params{{"op", "qu"}, {"sn", _serial_text(serialNumber)}};
  Answer answer;
  if (!_exchange("QueryBuild", _default_url(url), params, answer, why))
    return false;
  ParseQueryBuild(answer.lines, latestBuild, firmwareId);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serialNumber, const std::string& firmwareId, const std::string& build,
                                   std::string& birdBase64, const char* url, bool noCalibration, std::string* why) {
  // The identifier came from a server answer: encode it so it cannot add or
  // alter query keys.
  std::map<std::string, std::string> params{{"bld", build},
                                            {"fw", HTTPRequest::Escape(firmwareId)},
                                            {"no_cal", noCalibration ? "true" : "false"},
                                            {"op", "bird"},
                                            {"sn", _serial_text(serialNumber)}};
  Answer answer;
  if (!_exchange("GetBuild", _default_url(url), params, answer, why))
    return false;
  ParseBuild(answer.lines, birdBase64);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds,
                                       const char* url, std::string* why) {
  builds.clear();
  std::map<std::string, std::string> params{{"op", "builds"}, {"sn", _serial_text(serialNumber)}};
  Answer answer;
  if (!_exchange("GetBuildList", _default_url(url), params, answer, why))
    return false;
  ParseBuildList(answer.lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serialNumber, uint32_t& build,
                                          const char* url, std::string* why) {
  if (!fingerprint) {
    _set_why(why, "no fingerprint");
    return false;
  }
  char fp[64];
  std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                fingerprint[3]);
  std::map<std::string, std::string> params{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
  Answer answer;
  if (!_exchange("GetRecoveryInfo", _default_url(url), params, answer, why))
    return false;
  ParseRecoveryInfo(answer.lines, serialNumber, build);
  return true;
}

std::vector<std::string> UpdateServerRequest::SplitJorvaniteVersion(std::string version) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    const size_t dot = version.find('.', pos);
    parts.push_back(version.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos));
    if (dot == std::string::npos)
      break;
    pos = dot + 1;
  }
  if (parts.size() != 3)
    parts.clear();
  return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  std::vector<SortEntry> entries;
  entries.reserve(builds.size());
  for (const auto& pair : builds)
    entries.push_back({pair, _version_key(pair.second)});
  std::sort(entries.begin(), entries.end(), _sortVersion);
  std::vector<std::pair<std::string, std::string>> sorted;
  sorted.reserve(entries.size());
  for (auto& e : entries)
    sorted.push_back(std::move(e.pair));
  return sorted;
}
