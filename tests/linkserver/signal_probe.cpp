// A program with its own way of taking SIGINT and SIGTERM that opens a link
// and then blocks in a read of its own until a signal ends it. Its handlers
// say which signal they caught and end the read; the other signals keep
// the effect the program gave them.
//
//   signal_probe <own-term | own-int | ignore-int | default> <client | server>
//
// Prints "ready" once the link is open, "caught <signal>" when its own
// handler ran, and exits 0 after closing the link. Exit 2: bad arguments,
// 3: the link could not be opened.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "SimModule.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aServer.h"

namespace {

int gCaught[2] = {-1, -1};  // the handler writes the signal number here

void sCaught(int signal) {
  const char number = static_cast<char>(signal);
  [[maybe_unused]] ssize_t n = write(gCaught[1], &number, 1);
}

void sTake(int signal, void (*handler)(int)) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

uint32_t sIPv4(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || pipe(gCaught) != 0) return 2;
  const std::string handling = argv[1], open = argv[2];
  // Whatever the test runner left: the program's own choice starts from the defaults.
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &both, nullptr);
  sTake(SIGINT, SIG_DFL);
  sTake(SIGTERM, SIG_DFL);
  if (handling == "own-term") {
    sTake(SIGTERM, sCaught);
  } else if (handling == "own-int") {
    sTake(SIGINT, sCaught);
  } else if (handling == "ignore-int") {
    sTake(SIGINT, SIG_IGN);
  } else if (handling != "default") {
    return 2;
  }

  std::unique_ptr<jvsim::SimModule> module;
  aLinkRef tcp = 0, client = 0;
  aServer* server = nullptr;
  if (open == "client") {
    // Nobody listens there: the client link opens and waits for a server.
    client = aLink_CreateClient(sIPv4("127.0.0.1"), 9, 0);
    if (!client) return 3;
  } else if (open == "server") {
    module = jvsim::SimModule::overTcp("127.0.0.2", 0);
    module->start();
    tcp = aLink_CreateTCPIP(sIPv4("127.0.0.2"), module->tcp()->port());
    server = tcp ? aServer_Create(tcp, 0, true) : nullptr;
    if (!server || aServer_Start(server) != aErrNone) return 3;
  } else {
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  char number = 0;
  while (read(gCaught[0], &number, 1) != 1) {
  }
  std::printf("caught %s\n", number == SIGTERM ? "SIGTERM" : number == SIGINT ? "SIGINT" : "another signal");
  std::fflush(stdout);
  if (server) aServer_Destroy(&server);
  if (tcp) aLink_Destroy(&tcp);
  if (client) aLink_Destroy(&client);
  return 0;
}
