#include "HTTPRequest.h"

#include "Log.h"

#include <curl/curl.h>
#include <chrono>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex g_limitsMutex;
HTTPLimits g_limits;

struct ReceiveContext {
  HTTPResponse* response;
  size_t maxBody;
  bool overflow = false;
};

size_t _rcv_data(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* ctx = static_cast<ReceiveContext*>(userdata);
  const size_t count = size * nmemb;
  // The received bytes are not NUL-terminated: print at most 100 of them and
  // never more than arrived.
  const int shown = static_cast<int>(std::min<size_t>(count, 100));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n", static_cast<int>(size),
           static_cast<int>(nmemb), static_cast<unsigned>(reinterpret_cast<uintptr_t>(ctx->response)), shown, ptr);
  if (ctx->response->get_response_length() + count > ctx->maxBody) {
    ctx->overflow = true;
    Log::log(DEBUG_ServerComm, "rcv_data refuses body beyond %zu bytes\n", ctx->maxBody);
    return 0;  // makes libcurl end the transfer with CURLE_WRITE_ERROR
  }
  ctx->response->process(ptr, count);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(count));
  return count;
}

// Which of the bounds a request that timed out ran into.
// tookMs is measured around the whole perform. libcurl may fire its total
// bound a few milliseconds early on its own clock; a low-speed give-up that
// close to the total bound is told as the total bound, which it nearly was.
constexpr long kBoundSlackMs = 50;

std::string _time_out_cause(CURL* h, const HTTPLimits& limits, long tookMs, const char* detail) {
  curl_off_t connectedUs = 0;
  const bool connected = curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectedUs) == CURLE_OK && connectedUs > 0;
  char text[256];
  if (!connected)
    std::snprintf(text, sizeof text, "No connection to the update server within %ld ms", limits.connectTimeoutMs);
  else if (tookMs + kBoundSlackMs >= limits.requestTimeoutMs())
    std::snprintf(text, sizeof text,
                  "The update server's answer took longer than %ld ms, the bound for an answer of up "
                  "to %zu bytes",
                  limits.requestTimeoutMs(), limits.maxBodyBytes);
  else
    std::snprintf(text, sizeof text, "The update server sent less than %ld bytes a second for %ld seconds",
                  limits.lowSpeedBytesPerSec, limits.lowSpeedTimeSec);
  std::string out = text;
  if (detail[0])
    out += std::string(" (") + detail + ")";
  return out;
}

struct CurlCleanup {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

void globalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HTTPResponse::HTTPResponse(std::string request) : request_(std::move(request)) {}

void HTTPRequest::SetLimits(const HTTPLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  g_limits = limits;
}

HTTPLimits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  return g_limits;
}

std::string HTTPRequest::BuildURL(const std::string& url, const std::map<std::string, std::string>& params) {
  std::string full = url;
  if (!params.empty())
    full += '?';
  for (const auto& [key, value] : params) {
    full += key;
    full += '=';
    full += value;
    full += '&';
  }
  return full;
}

std::string HTTPRequest::Escape(std::string_view value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

HTTPResponse HTTPRequest::GET(const std::string& url, std::map<std::string, std::string>& params) {
  globalInitOnce();
  char errbuf[CURL_ERROR_SIZE] = {0};  // outlives the handle that writes into it
  std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
  HTTPResponse response(BuildURL(url, params));
  if (!curl)
    throw std::runtime_error("Could not create curl instance");

  const HTTPLimits limits = GetLimits();
  ReceiveContext ctx{&response, limits.maxBodyBytes};
  CURL* h = curl.get();

  CURLcode rc = CURLE_OK;
  auto set = [&rc](CURLcode r) {
    if (rc == CURLE_OK)
      rc = r;
  };
  set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data));
  set(curl_easy_setopt(h, CURLOPT_WRITEDATA, &ctx));
  set(curl_easy_setopt(h, CURLOPT_URL, response.get_request()));
  // Firmware must come from an authenticated server: verify peer and host.
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L));
  set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
  // Time-outs with signals are unsafe off the main thread (downloads run on a worker).
  set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs));
  set(curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSec));
  set(curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSec));
  set(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.requestTimeoutMs()));
  set(curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes)));
  set(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf));

  long tookMs = 0;
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
    const auto started = std::chrono::steady_clock::now();
    rc = curl_easy_perform(h);
    tookMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  }
  long status = 0;
  if (rc == CURLE_OK)
    rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (rc != CURLE_OK) {
    if (ctx.overflow || rc == CURLE_FILESIZE_EXCEEDED)
      throw std::runtime_error("Answer body exceeds " + std::to_string(limits.maxBodyBytes) + " bytes");
    if (rc == CURLE_OPERATION_TIMEDOUT)
      throw std::runtime_error(_time_out_cause(h, limits, tookMs, errbuf));
    std::string text = curl_easy_strerror(rc);
    // libcurl's own words do not tell a refused connection from an
    // unreachable network; the system's error does.
    long osErrno = 0;
    if (curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osErrno) == CURLE_OK && osErrno != 0)
      text += std::string(": ") + std::strerror(static_cast<int>(osErrno));
    if (errbuf[0])
      text += std::string(" (") + errbuf + ")";
    throw std::runtime_error(text);
  }
  response.set_status(status);
  return response;
}
