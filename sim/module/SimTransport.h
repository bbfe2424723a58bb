// How the host reaches a simulated module: a TCP listener, a pseudo-terminal
// (a serial port, or a stand-in for the family's driver node), or an
// in-process byte pipe that a USB test seam can drive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace jvsim {

class DarkSwitch;

// goDark's duration for a module that never comes back.
constexpr int kDarkForever = 0;

// How a restarting module leaves the host's connection.
enum class Restart : uint8_t {
  Reset,   // its stack resets the connection: the host's next read sees it
  Close,   // an orderly close: the host reads the end of the stream
  // The chip resets under a live connection (an MCU reset): nothing goes out;
  // the fresh stack knows no such connection and resets it when the host
  // next sends on it.
  Silent,
};

// One transport serves one host connection at a time. receive() and send()
// are called from the module's service thread only; wake() and the host side
// of the byte pipe from any thread.
class Transport {
 public:
  virtual ~Transport() = default;

  // Waits up to timeoutMs for host bytes. Returns the count (0 when none came
  // or the wait was woken); sets `event` to "connect"/"disconnect" when the
  // host side came or went during the call.
  virtual size_t receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) = 0;
  // Writes every byte or reports false (no host, or the connection broke).
  virtual bool send(const uint8_t* data, size_t len) = 0;
  // Breaks the host's connection the way a module that resets would.
  virtual void dropConnection() = 0;
  // Breaks the connection as `how` says and stays unreachable for `ms` (a
  // module that reboots; 0: back at once), where the transport can refuse
  // hosts; else as dropConnection.
  virtual void goOffline(int ms, Restart how = Restart::Reset) {
    (void)ms;
    (void)how;
    dropConnection();
  }
  // Goes dark the way a module whose network stack reboots does: the host's
  // connection is dropped without a word, and nothing of the module is heard
  // (connects and packets go unanswered: no reset, no refusal) for `ms`
  // (kDarkForever, or less: for good); then it listens again. Synchronous:
  // nothing sent after the call gets out. Where the transport cannot go dark,
  // a silent restart that stays offline as long. False, with the reason,
  // when the darkness could not be made.
  virtual bool goDark(int ms, std::string* why);
  virtual bool connected() const = 0;
  // Ends a receive() that is waiting, at once.
  virtual void wake() = 0;
  // "tcp 127.0.0.2:40001", "pty /dev/pts/4", "node /tmp/x -> /dev/pts/4", "pipe".
  virtual std::string describe() const = 0;
};

// Listens on host:port (port 0 picks a free one); accepts one connection at a
// time, a newer one replacing the older.
class TcpTransport : public Transport {
 public:
  // Throws std::runtime_error naming the cause when it cannot listen.
  TcpTransport(const std::string& host, uint16_t port);
  ~TcpTransport() override;

  uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }

  size_t receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) override;
  bool send(const uint8_t* data, size_t len) override;
  void dropConnection() override;
  // Closes the listener too, so that connections are refused, and listens
  // on the same port again once `ms` have passed (with 0 it keeps
  // listening). A silent restart needs CAP_NET_ADMIN (TCP_REPAIR lets the
  // socket go without a word); without it the connection is reset instead.
  void goOffline(int ms, Restart how = Restart::Reset) override;
  // Blackholes everything sent from the listening address in the namespace
  // the transport was made in (needs CAP_NET_ADMIN and an address off
  // loopback; see SimDark.h), then goes offline silently; the address is lit
  // again once the transport listens again.
  bool goDark(int ms, std::string* why) override;
  bool connected() const override;
  void wake() override;
  std::string describe() const override;

 private:
  void closeClient(Restart how = Restart::Reset);
  bool listenAgain();
  void requestOffline(int ms, Restart how, bool dark);

  std::string host_;
  uint16_t port_ = 0;
  int listenFd_ = -1;
  int clientFd_ = -1;
  int wakeFd_ = -1;  // eventfd
  mutable std::mutex mutex_;
  bool dropRequested_ = false;
  bool offlineRequested_ = false;  // by goOffline, taken by receive()
  int offlineMs_ = 0;
  Restart offlineHow_ = Restart::Reset;
  std::chrono::steady_clock::time_point onlineAt_{};
  std::unique_ptr<DarkSwitch> dark_;  // made with the listener, in its namespace
  bool darkened_ = false;             // lit again when the listener is back
};

// A pseudo-terminal in raw mode. The host opens path(); when `linkPath` is
// given a symbolic link there names the terminal (a driver node stand-in).
// dropConnection() hangs the terminal up and makes a new one (the link, if
// any, follows it), as a module leaving the bus and coming back.
class PtyTransport : public Transport {
 public:
  explicit PtyTransport(const std::string& linkPath = {});
  ~PtyTransport() override;

  // The terminal's own path (/dev/pts/N), or the link path when there is one.
  std::string path() const;
  std::string terminalPath() const;

  size_t receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) override;
  bool send(const uint8_t* data, size_t len) override;
  void dropConnection() override;
  bool connected() const override { return true; }
  void wake() override;
  std::string describe() const override;

 private:
  void open();
  void closeTerminal();

  std::string linkPath_;
  std::string slavePath_;
  int masterFd_ = -1;
  int slaveFd_ = -1;  // held open so the master never reads a hang-up between host opens
  int wakeFd_ = -1;
  mutable std::mutex mutex_;
  bool dropRequested_ = false;
};

// An in-process byte pipe: the host side writes what its USB endpoint OUT
// would carry and reads what endpoint IN would.
class BytePipe {
 public:
  // Host side. hostWrite fails once the pipe is closed.
  bool hostWrite(const uint8_t* data, size_t len);
  // Waits up to timeoutMs; returns the count, 0 on time-out, -1 once closed.
  long hostRead(uint8_t* buf, size_t max, int timeoutMs);
  bool closed() const;

  // Module side.
  size_t moduleRead(uint8_t* buf, size_t max, int timeoutMs, bool* wasClosed);
  bool moduleWrite(const uint8_t* data, size_t len);
  void close();  // both directions fail from now on; waiters wake
  void wake();

 private:
  mutable std::mutex mutex_;
  std::condition_variable toModuleReady_;
  std::condition_variable toHostReady_;
  std::deque<uint8_t> toModule_;
  std::deque<uint8_t> toHost_;
  bool closed_ = false;
  bool woken_ = false;
};

class PipeTransport : public Transport {
 public:
  PipeTransport();

  // The pipe a host attaches to now. After dropConnection() the old pipe stays
  // closed and a fresh one takes its place (the device came back).
  std::shared_ptr<BytePipe> pipe() const;

  size_t receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) override;
  bool send(const uint8_t* data, size_t len) override;
  void dropConnection() override;
  bool connected() const override;
  void wake() override;
  std::string describe() const override { return "pipe"; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<BytePipe> pipe_;
  bool dropRequested_ = false;
};

}  // namespace jvsim
