// updateserver-sim: the simulated update server as a program.
//   updateserver-sim [--config FILE] [--log FILE] [--port N]
// Prints "PORT <n>" and the base URL on standard output once it accepts
// connections, writes every raw request line to the log (standard error by
// default), and runs until SIGINT or SIGTERM.
#include "UpdateServerSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
  std::string configPath, logPath;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--config" || arg == "--log" || arg == "--port") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--config")
        configPath = value;
      else if (arg == "--log")
        logPath = value;
      else
        port = std::atoi(value);
    } else {
      std::fprintf(stderr, "usage: %s [--config FILE] [--log FILE] [--port N]\n", argv[0]);
      return 2;
    }
  }

  updatesim::FileConfig fileConfig;
  if (!configPath.empty()) {
    std::string error;
    if (!updatesim::loadConfigFile(configPath, fileConfig, error)) {
      std::fprintf(stderr, "updateserver-sim: %s\n", error.c_str());
      return 1;
    }
  }
  std::FILE* log = stderr;
  if (!logPath.empty()) {
    log = std::fopen(logPath.c_str(), "a");
    if (!log) {
      std::fprintf(stderr, "updateserver-sim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // Block the stop signals before any thread starts, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  updatesim::UpdateServer server(fileConfig.config);
  for (const auto& [op, fault] : fileConfig.faults)
    server.setFault(op, fault.first, fault.second);
  server.setRequestLog(log);
  if (!server.start(port)) {
    std::fprintf(stderr, "updateserver-sim: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::printf("PORT %d\n%s\n", server.port(), server.url().c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.stop();
  if (log != stderr)
    std::fclose(log);
  return 0;
}
