// One HTTP GET over libcurl, the primitive every update-server operation uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

// The result of one GET: the URL as sent, the HTTP status and the body bytes.
class HTTPResponse {
 public:
  explicit HTTPResponse(std::string request);

  const char* get_request() const { return request_.c_str(); }
  int64_t get_status() const { return status_; }
  // The body buffer itself (NUL-terminated, writable); get_response_length
  // counts its bytes, which may include NULs a server sent.
  char* get_response() { return body_.data(); }
  size_t get_response_length() const { return body_.size(); }
  const std::string& body() const { return body_; }

  void set_status(int64_t status) { status_ = status; }
  void process(const char* data, size_t length) { body_.append(data, length); }

 private:
  std::string request_;
  int64_t status_ = 0;
  std::string body_;
};

// Bounds that keep a silent, trickling or endless server from holding the
// tool forever. Process-wide; set them before any request runs.
struct HTTPLimits {
  long connectTimeoutMs = 15000;  // TCP and TLS connection set-up
  // A server on the slowest line still in use sends kilobytes a second;
  // one that sends less for this long is trickling and is left.
  long lowSpeedBytesPerSec = 1024;  // abort when slower than this ...
  long lowSpeedTimeSec = 10;        // ... for this many seconds in a row
  size_t maxBodyBytes = 64u << 20;  // largest answer body accepted
  // The whole request may last as long as the largest answer takes at this
  // rate, plus the connection set-up: a server that stays just above the
  // low-speed floor, or never ends its answer, is left too.
  long minAverageBytesPerSec = 64 * 1024;

  long requestTimeoutMs() const {
    return connectTimeoutMs + static_cast<long>(maxBodyBytes * 1000 / static_cast<size_t>(minAverageBytesPerSec));
  }
};

class HTTPRequest {
 public:
  // GET of `url` + "?" + "key=value&" for every parameter in byte-wise key
  // order (nothing appended when `params` is empty). Redirects are not
  // followed; TLS peers and host names are verified. Raises
  // std::runtime_error naming the cause on any transport failure, or the
  // bound of HTTPLimits it ran into (a time-out, a body larger than the
  // limit). Thread-safe: each call has its own handle.
  static HTTPResponse GET(const std::string& url, std::map<std::string, std::string>& params);

  // The URL GET sends for these arguments.
  static std::string BuildURL(const std::string& url, const std::map<std::string, std::string>& params);

  // Percent-encodes every byte outside RFC 3986's unreserved set
  // (A-Z a-z 0-9 - . _ ~), for values that came from outside the program.
  static std::string Escape(std::string_view value);

  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};
