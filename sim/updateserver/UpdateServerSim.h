#pragma once
// A simulated update server for tests and manual runs. It answers GET
// /cgi/u by the query's "op" key from data it is given, writes and parses the
// wire text itself (its own query parsing, percent-decoding and Base64), keeps
// every raw request line, and can misbehave per operation on request.
//
// Operations and their normal answers (lines end in LF):
//   op=hi                        "ok"
//   op=qu     sn                 "ok", latest build, firmware id
//   op=builds sn                 "ok", then "build;version" per build
//   op=bird   bld fw no_cal sn   "ok", the build's BIRD file in Base64
//   op=fix    brief fp           "ok", serial number (hex), recovery build
// A request the data cannot answer (unknown serial, build, firmware id or
// fingerprint, missing keys) gets 200 with the first line "error ...".

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace updatesim {

using Bytes = std::vector<uint8_t>;

enum class Op { Ping, Query, Builds, Bird, Fix };
constexpr Op kAllOps[] = {Op::Ping, Op::Query, Op::Builds, Op::Bird, Op::Fix};

enum class Fault {
  None,
  Http404,      // status 404
  Http500,      // status 500
  Redirect,     // status 302 to the same URL, with a body that looks right
  EmptyBody,    // status 200, no body
  NotOk,        // first line "error" instead of "ok", the rest as normal
  Okay,         // first line "okay" (a client must accept it)
  Crlf,         // every line ends in CR LF
  MissingLines, // only the "ok" line
  BadBase64,    // op=bird: a character outside the Base64 alphabet in the text
  Delay,        // the normal answer after `param` milliseconds
  CutMidBody,   // declares the whole length, sends half, closes the connection
  Trickle,      // the normal answer, then blank lines without end, `param` bytes a second
  Hold,         // the normal answer once the fault is changed or cleared (none if the server
                // stops first); with `param` N > 0 only the first N requests are held
};

struct Device {
  std::string latestBuild;                               // op=qu line 2
  std::string firmwareId;                                // op=qu line 3; op=bird expects it in "fw"
  std::vector<std::pair<std::string, std::string>> builds; // op=builds, in this order
  std::map<std::string, Bytes> birdFiles;                // build text -> file bytes
};

struct Recovery {
  std::string serial; // op=fix line 2, sent as given
  std::string build;  // op=fix line 3, sent as given
};

struct Config {
  std::map<std::string, Device> devices;     // by serial number "%08X"
  std::map<std::string, Recovery> recovery;  // by "W0 W1 W2 W3", each "%08X"
};

// Wire names ("hi", "qu", "builds", "bird", "fix") and fault names as the
// config file spells them ("none", "404", "500", "redirect", "empty",
// "notok", "okay", "crlf", "missing", "badbase64", "delay", "cut",
// "trickle", "hold").
const char* opName(Op op);
bool opFromName(const std::string& name, Op& op);
bool faultFromName(const std::string& name, Fault& fault);

// RFC 4648 Base64 with padding.
std::string base64(const Bytes& bytes);

// The config file, one statement a line, "#" starts a comment:
//   device SERIAL                  following lines describe this device
//   latest BUILD
//   firmware ID
//   build BUILD VERSION [FILE]     FILE relative to the config file's folder
//   recovery W0 W1 W2 W3 SERIAL BUILD
//   fault OP FAULT [MS]             (for trickle: bytes a second)
// Returns false with a reason naming the line on any error.
struct FileConfig {
  Config config;
  std::vector<std::pair<Op, std::pair<Fault, int>>> faults;
};
bool loadConfigFile(const std::string& path, FileConfig& out, std::string& error);

class UpdateServer {
public:
  explicit UpdateServer(Config config = {});
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds 127.0.0.1 on a port the system picks (or `port`) and serves on a
  // thread of its own; returns once connections are accepted. False when it
  // cannot bind.
  bool start(int port = 0);
  // The same over TLS with the given PEM certificate and key (for checking
  // that clients verify their peer).
  bool startTls(const std::string& certPath, const std::string& keyPath, int port = 0);
  // Stops serving: a delayed answer in progress is cut short, and every
  // server thread has ended when this returns. Safe to call twice.
  void stop();

  int port() const { return port_; }
  std::string url() const; // "http://127.0.0.1:PORT/cgi/u" (https with TLS)

  void setConfig(Config config);
  Config config() const;
  // One fault per operation; `param` is the delay in milliseconds for Delay,
  // the bytes a second for Trickle, how many requests to hold for Hold.
  // Changing or clearing a fault lets the requests it holds answer.
  void setFault(Op op, Fault fault, int param = 0);
  void clearFaults();

  // Waits until at least `count` request targets contain `part`; false when
  // the timeout passes first.
  bool waitForTarget(const std::string& part, size_t count, std::chrono::milliseconds timeout) const;

  // Raw request lines, "GET <target> HTTP/1.1", in arrival order.
  std::vector<std::string> requests() const;
  // Only the targets ("/cgi/u?op=hi&rv=2&").
  std::vector<std::string> targets() const;
  void clearRequests();
  // Also write every request line to this stream (flushed), e.g. for the
  // standalone program's log; null for none.
  void setRequestLog(std::FILE* log);

private:
  bool listen(int port);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
  int port_ = 0;
  bool tls_ = false;
};

} // namespace updatesim
