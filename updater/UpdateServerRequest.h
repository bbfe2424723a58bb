// Client of the update server: one GET per operation on the server's base URL
// ("/cgi/u"), answers made of LF-separated lines whose first line begins "ok".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  // Every operation: `url` null means the built-in default server. Returns
  // true on success; never raises. Failures (transport, HTTP status other
  // than 200, first line not beginning "ok") are logged under
  // DEBUG_ServerComm and leave the out-parameters as they were, except that
  // GetBuildList clears its map first. On failure `why` (may be null) is set
  // to a text for the user: the transport's cause (refused, time-out, ...),
  // the HTTP status, or what the answer lacked.
  static bool ping(const char* url, std::string* why = nullptr);
  // Latest build (decimal text) and firmware identifier, each up to a CR.
  static bool QueryBuild(uint32_t serialNumber, std::string& latestBuild, std::string& firmwareId, const char* url,
                         std::string* why = nullptr);
  // The BIRD file of `build` as one line of Base64 text (a trailing CR kept).
  static bool GetBuild(uint32_t serialNumber, const std::string& firmwareId, const std::string& build,
                       std::string& birdBase64, const char* url, bool noCalibration, std::string* why = nullptr);
  // Build text -> version text.
  static bool GetBuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds, const char* url,
                           std::string* why = nullptr);
  // Serial number and recovery build for a chip fingerprint (four words).
  static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serialNumber, uint32_t& build, const char* url,
                              std::string* why = nullptr);

  // Newest version first. Versions of the form major.minor.patch (each part
  // compared by its low 8 bits) come before those that do not parse; within
  // equal versions, and among the ones that do not parse, higher build
  // numbers come first. A total order, so any server input sorts safely.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three parts of "major.minor.patch", or empty for any other shape.
  static std::vector<std::string> SplitJorvaniteVersion(std::string version);

  // The start of a text the server sent, fit to show: at most 40 characters,
  // anything but printable ASCII as "?", "..." after a longer one.
  static std::string ShownText(std::string_view text);

  // The answer protocol without the transport (also what the fuzzer drives).
  // Lines are cut at LF; runs of LF count as one; a CR stays on its line.
  static std::vector<std::string_view> SplitAnswerLines(std::string_view body);
  static bool AnswerIsOk(const std::vector<std::string_view>& lines);
  static void ParseQueryBuild(const std::vector<std::string_view>& lines, std::string& latestBuild,
                              std::string& firmwareId);
  static void ParseBuild(const std::vector<std::string_view>& lines, std::string& birdBase64);
  static void ParseBuildList(const std::vector<std::string_view>& lines, std::map<std::string, std::string>& builds);
  static void ParseRecoveryInfo(const std::vector<std::string_view>& lines, uint32_t& serialNumber, uint32_t& build);
};
