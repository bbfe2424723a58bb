#pragma once
// Helpers for tests that run inside scripts/netns: the namespace pair's
// settings, and simulated modules started in the peer namespace.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace netns {

inline const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// Empty when the test runs inside the harness; else why it cannot.
inline std::string Unavailable() {
  if (Env("JV_NETNS_PEER")) return "";
  if (const char* why = Env("JV_NETNS_SKIP")) return why;
  return "not inside the network namespace harness (run through scripts/netns)";
}

inline std::vector<std::string> PeerAddresses() {
  std::vector<std::string> out;
  std::istringstream in(Env("JV_NETNS_PEER_ADDRS") ? Env("JV_NETNS_PEER_ADDRS") : "");
  for (std::string a; in >> a;) out.push_back(a);
  return out;
}

inline uint32_t Address(const std::string& text) {
  in_addr a{};
  inet_pton(AF_INET, text.c_str(), &a);
  return a.s_addr;
}

// A program started in the peer namespace with its standard output piped
// back; stopped (SIGTERM, then waited for) when it goes out of scope.
class PeerProcess {
 public:
  explicit PeerProcess(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> full = {"ip", "netns", "exec", Env("JV_NETNS_PEER")};
    full.insert(full.end(), args.begin(), args.end());
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (auto& a : full) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    m_out = fdopen(out[0], "r");
  }
  ~PeerProcess() { stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Reads transcript lines until one equals line; false at the end of output.
  bool waitFor(const std::string& line) {
    for (std::string got; readLine(got);) {
      if (got == line) return true;
    }
    return false;
  }

  // Stops the program and returns every transcript line not read yet.
  std::vector<std::string> stop() {
    std::vector<std::string> rest;
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      for (std::string line; readLine(line);) rest.push_back(line);
      int status = 0;
      waitpid(m_pid, &status, 0);
      m_pid = -1;
    }
    if (m_out) {
      fclose(m_out);
      m_out = nullptr;
    }
    return rest;
  }

 private:
  bool readLine(std::string& line) {
    if (!m_out) return false;
    char buffer[512];
    if (!fgets(buffer, sizeof buffer, m_out)) return false;
    line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    m_lines.push_back(line);
    return true;
  }

  pid_t m_pid = -1;
  FILE* m_out = nullptr;
  std::vector<std::string> m_lines;
};

// A process of this host sending one datagram to the discovery reply port
// (port 9889 on 127.0.0.1, from 127.0.0.1) every `period`, until stopped or
// for at most `spell` (so that a search that never ends still lets the test
// end).
class ReplyPortSender {
 public:
  static constexpr uint16_t kReplyPort = 9889;

  ReplyPortSender(std::vector<uint8_t> datagram, std::chrono::milliseconds period, std::chrono::milliseconds spell)
      : datagram_(std::move(datagram)), period_(period), spell_(spell), thread_([this] { run(); }) {}
  ~ReplyPortSender() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kReplyPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto end = std::chrono::steady_clock::now() + spell_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      sendto(fd, datagram_.data(), datagram_.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      changed_.wait_for(lock, period_, [this] { return stop_; });
    }
    close(fd);
  }

  std::vector<uint8_t> datagram_;
  std::chrono::milliseconds period_;
  std::chrono::milliseconds spell_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace netns
