// Shared pieces of the end-to-end flow tests: firmware made for a module
// (and the image its loader must end up holding), the simulated update
// server's data for it, simulated network modules made inside the peer
// namespace of scripts/netns, and the updater run against all of it.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BirdFixture.h"
#include "SimCommands.h"
#include "SimLoader.h"
#include "SimModule.h"
#include "SimRouter.h"
#include "UpdateServerSim.h"
#include "run_process.h"

namespace flows {

namespace fs = std::filesystem;

constexpr uint32_t kImageAddress = 0x00008000;
constexpr uint32_t kSerialWordAddress = kImageAddress + 0x100;
constexpr uint32_t kSerialTextAddress = kImageAddress + 0x200;
constexpr uint32_t kOldBuild = 61000;

inline std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// One build for one module: a loader, a firmware image with room for the
// serial number (which the updater must patch in), and the descriptor.
struct Firmware {
  uint32_t build = 99528558;
  uint32_t serial = 0;
  std::string model = "Norquil";
  size_t imageSize = 3000;
  size_t loaderSize = 300;

  birdsim::Bytes loader() const { return noise(loaderSize, build ^ 0x5A5A5A5Au); }
  birdsim::Bytes image() const { return noise(imageSize, build); }

  birdsim::Image bird() const {
    birdsim::Image bird;
    bird.blocks.push_back(birdsim::loader(0x20000000, loader()));
    bird.blocks.push_back(birdsim::firmware(kImageAddress, image()));
    bird.blocks.push_back(birdsim::serialOffsets(kSerialWordAddress, kSerialTextAddress));
    bird.blocks.push_back(birdsim::descriptor(build, "2.16.0", serial, model));
    return bird;
  }
  birdsim::Bytes file() const { return birdsim::file(bird()); }

  // The image with the serial number written the way the module reads it:
  // a little-endian word, and its "%08X" text in every other byte.
  birdsim::Bytes patchedImage(uint32_t moduleSerial) const {
    birdsim::Bytes out = image();
    const size_t word = kSerialWordAddress - kImageAddress;
    for (int i = 0; i < 4; ++i) out[word + i] = static_cast<uint8_t>(moduleSerial >> (8 * i));
    const std::string text = hex8(moduleSerial);
    const size_t chars = kSerialTextAddress - kImageAddress;
    for (size_t i = 0; i < text.size(); ++i) out[chars + 2 * i] = static_cast<uint8_t>(text[i]);
    return out;
  }
};

// The update server's answers for these builds (each the latest of its module).
inline updatesim::Config serverConfig(const std::vector<Firmware>& builds) {
  updatesim::Config config;
  for (const Firmware& f : builds) {
    updatesim::Device& d = config.devices[hex8(f.serial)];
    d.latestBuild = std::to_string(f.build);
    d.firmwareId = "FW-NORQUIL";
    d.builds = {{std::to_string(kOldBuild), "2.15.3"}, {std::to_string(f.build), "2.16.0"}};
    d.birdFiles[std::to_string(f.build)] = f.file();
  }
  return config;
}

// Runs `make` on a thread that has joined the peer namespace, so the
// sockets it opens, and the threads it starts, live there (sockets may then
// be used from any thread; sockets made later belong to the namespace of
// the thread that makes them).
template <class Make>
auto inPeerNamespace(Make make) -> decltype(make()) {
  decltype(make()) made{};
  std::string failure;
  std::thread maker([&] {
    const char* peer = std::getenv("JV_NETNS_PEER");
    const int fd = peer ? ::open((std::string("/run/netns/") + peer).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
      failure = "cannot join the peer namespace";
    } else {
      try {
        made = make();
      } catch (const std::exception& e) {
        failure = e.what();
      }
    }
    if (fd >= 0) ::close(fd);
  });
  maker.join();
  if (!failure.empty()) throw std::runtime_error(failure);
  return made;
}

// A simulated module with its command layer and loader.
struct SimulatedModule {
  std::unique_ptr<jvsim::SimModule> sim;
  std::shared_ptr<jvsim::SimCommands> commands;
  std::shared_ptr<jvsim::SimLoader> loader;
  std::shared_ptr<jvsim::SimRouter> router;
  std::map<uint8_t, std::shared_ptr<jvsim::SimLoader>> subLoaders;  // by bus address

  // Identity and firmware as the module reports it before an update.
  static jvsim::CommandConfig identity(const jvsim::SimConfig& link, const std::string& name) {
    jvsim::CommandConfig c = jvsim::CommandConfig::from(link);
    c.build = kOldBuild;
    c.name = name;
    return c;
  }

  void install(const std::string& name, uint32_t buildAfter) {
    commands = jvsim::SimCommands::install(*sim, identity(sim->config(), name));
    jvsim::LoaderConfig lc;
    lc.buildAfterReboot = buildAfter;
    loader = jvsim::SimLoader::install(*sim, commands, lc);
  }

  // A module behind this one, which then routes.
  std::shared_ptr<jvsim::SimCommands> addSub(uint8_t busAddress, uint32_t serial, uint8_t model, uint32_t buildAfter) {
    if (!router) router = jvsim::SimRouter::install(*sim, commands);
    jvsim::CommandConfig c = identity(sim->config(), "Sub " + hex8(serial));
    c.serial = serial;
    c.model = model;
    c.router = 0;
    auto layer = router->addSubModule(busAddress, c);
    jvsim::LoaderConfig lc;
    lc.buildAfterReboot = buildAfter;
    subLoaders[busAddress] = jvsim::SimLoader::installSub(*sim, *router, busAddress, lc);
    return layer;
  }
};

// A module listening on `address` of the peer namespace (port picked by the
// system) with its command layer and loader; after an update it reports
// `buildAfter`.
inline SimulatedModule peerModule(const std::string& address, uint32_t serial, uint8_t moduleAddress,
                                  const std::string& name, uint32_t buildAfter) {
  SimulatedModule m;
  jvsim::SimConfig link;
  link.serial = serial;
  link.address = moduleAddress;
  m.sim = inPeerNamespace([&] { return jvsim::SimModule::overTcp(address, 0, link); });
  m.install(name, buildAfter);
  return m;
}

// Starts the modules' service threads in the peer namespace: they reopen
// sockets there.
inline void startInPeer(const std::vector<SimulatedModule*>& modules) {
  inPeerNamespace([&] {
    for (SimulatedModule* m : modules) m->sim->start();
    return true;
  });
}

// The udpresponder --module value that announces the module, answering from
// `from`.
inline std::string discoveryEntry(const SimulatedModule& m, const std::string& from) {
  return "serial=" + std::to_string(m.sim->config().serial) + ",address=" + std::to_string(m.sim->config().address) +
         ",port=" + std::to_string(m.sim->tcp()->port()) + ",model=19,from=" + from;
}

// Makes the module's network go dark once, at `at`, for `ms`
// (jvsim::kDarkForever: for good); `piece` numbers the firmware piece for
// jvsim::DarkAt::Piece. The module must have been made in the peer
// namespace: its darkness is a rule there (SimDark.h).
inline void goDarkAt(SimulatedModule& m, jvsim::DarkAt at, int ms, int piece = 1) {
  jvsim::LoaderFaults& f = m.loader->faults();
  f.darkForMs = ms;
  f.darkAtCount = piece;
  f.darkAt = at;
}

// Whether the module went dark within `within` (0: by now).
inline bool wentDark(SimulatedModule& m, std::chrono::milliseconds within) {
  char event[32];
  std::snprintf(event, sizeof event, "[%02X] loader fault dark", m.loader->address());
  return m.sim->transcript().waitForEvent(event, 1, within);
}

// The updater program against a store under `root` and the server at `url`.
inline ProcessResult runUpdater(const std::string& program, const std::vector<std::string>& simArgs,
                                const std::string& url, const fs::path& root, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program};
  if (!simArgs.empty()) {
    argv.insert(argv.end(), simArgs.begin(), simArgs.end());
    argv.push_back("--");
  }
  argv.insert(argv.end(), {"-u", url, "-i", root.string()});
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv);
}

// The module's .settings as key -> value ("" when there is none).
inline std::map<std::string, std::string> settingsOf(const fs::path& root, uint32_t serial) {
  std::map<std::string, std::string> out;
  std::istringstream in(readFile(root / "updater" / hex8(serial) / ".settings"));
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

// A fresh store directory per test case.
inline fs::path freshRoot(const std::string& tag) {
  fs::path root = fs::temp_directory_path() / ("flows-" + tag + "-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  return root;
}

}  // namespace flows
