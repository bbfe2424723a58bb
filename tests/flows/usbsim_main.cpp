// updater_usbsim: the updater program with its USB seam wired to an
// in-process simulated module, for end-to-end runs over USB without a bus.
//
//   updater_usbsim [--serial HEX] [--address N] [module options]
//                  [--leave-after-handshake N[,N...]] [--claim-result CODE]
//                  [--image-out PATH] [--stats-out PATH] [--transcript PATH]
//                  -- [updater options]
//
// --leave-after-handshake: the listed links to the module (counted from 1)
// meet it leaving the bus right after their handshake (UsbSimBus.h).
// --claim-result: every claim of the module's interface fails with this
// libusb code (-6 busy, -3 access, -4 no device).
// Module options are the sim program's command-layer and loader options
// (SimCommandLine.h, SimLoader.h). At exit it writes what the module's
// loader committed to --image-out (per run of bytes: address and length as
// little-endian u32, then the bytes), the loader's counters to --stats-out
// ("name=value" lines) and the module's transcript to --transcript. The
// exit status is the updater's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AppMain.h"
#include "CLI_Display.h"
#include "HostHold.h"
#include "Log.h"
#include "SimCommandLine.h"
#include "SimLoader.h"
#include "SimModule.h"
#include "UsbSimBus.h"

namespace {

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "updater_usbsim: %s\n", why);
  std::fprintf(stderr,
               "usage: updater_usbsim [--serial HEX] [--address N] [module options] [--image-out PATH]\n"
               "                      [--leave-after-handshake N[,N...]] [--claim-result CODE]\n"
               "                      [--stats-out PATH] [--transcript PATH]\n"
               "                      -- [updater options]\n");
  std::fputs(jvsim::commandLineUsage(), stderr);
  std::fputs(jvsim::loaderUsage(), stderr);
  std::exit(2);
}

void putWord(std::ofstream& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 24)};
  out.write(bytes, sizeof bytes);
}

std::shared_ptr<jvsim::SimLoader> ownLoader(jvsim::SimModule& module) {
  for (const auto& handler : module.handlers()) {
    auto loader = std::dynamic_pointer_cast<jvsim::SimLoader>(handler);
    if (loader && loader->address() == module.config().address) return loader;
  }
  return nullptr;
}

void writeImage(const std::string& path, const jvsim::MemoryImage& image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& [address, bytes] : image) {
    putWord(out, address);
    putWord(out, static_cast<uint32_t>(bytes.size()));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

void writeStats(const std::string& path, const jvsim::LoaderStats& s) {
  std::ofstream out(path, std::ios::trunc);
  out << "inits=" << s.inits << "\nprepares=" << s.prepares << "\ndataPackets=" << s.dataPackets
      << "\nueiPieces=" << s.ueiPieces << "\nsums=" << s.sums << "\nwrites=" << s.writes << "\nloads=" << s.loads
      << "\nreboots=" << s.reboots << "\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  // Claims under the scope of the test that runs this program (HostHoldScope.cpp).
  if (const char* scope = std::getenv("JV_TEST_HOLD_SCOPE")) HostHold_SetScope(scope);
  jvsim::SimConfig config;
  jvsim::CommandLineSetup commands;
  jvsim::LoaderSetup loader;
  std::string imageOut, statsOut, transcriptOut;
  std::set<int> leaving;
  int claimResult = 0;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--serial" && hasValue) {
      config.serial = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else if (a == "--address" && hasValue) {
      config.address = static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--leave-after-handshake" && hasValue) {
      std::istringstream list(argv[++i]);
      for (std::string n; std::getline(list, n, ',');) {
        const int link = std::atoi(n.c_str());
        if (link <= 0) usage("--leave-after-handshake takes link numbers from 1");
        leaving.insert(link);
      }
    } else if (a == "--claim-result" && hasValue) {
      claimResult = std::atoi(argv[++i]);
    } else if (a == "--image-out" && hasValue) {
      imageOut = argv[++i];
    } else if (a == "--stats-out" && hasValue) {
      statsOut = argv[++i];
    } else if (a == "--transcript" && hasValue) {
      transcriptOut = argv[++i];
    } else if (int taken = jvsim::parseCommandOption(argc, argv, i, commands)) {
      if (taken < 0) return 2;
    } else if (int taken = jvsim::parseLoaderOption(argc, argv, i, loader)) {
      if (taken < 0) return 2;
    } else {
      usage(("unknown option " + a).c_str());
    }
  }
  if (i >= argc) usage("the updater's options follow \"--\"");
  if (config.serial == 0 || config.address == 0 || (config.address & 1) != 0) {
    usage("--serial must be nonzero and --address even and nonzero");
  }

  // The updater sees its own name first, then the options after "--".
  std::vector<char*> updaterArgs{argv[0]};
  for (int k = i + 1; k < argc; ++k) updaterArgs.push_back(argv[k]);
  updaterArgs.push_back(nullptr);

  auto module = jvsim::SimModule::overPipe(config);
  if (!jvsim::installCommandLine(*module, commands)) return 2;
  if (!jvsim::installLoaders(*module, loader, commands.faultSub)) return 2;
  std::shared_ptr<jvsim::SimLoader> simLoader = ownLoader(*module);

  int status = 1;
  {
    UsbSimBus bus;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", config.serial);
    bus.plug(serial, *module->pipeTransport(), claimResult);
    bus.leaveAfterHandshake(serial, leaving);
    module->start();

    CLI_Display display;
    Log::SetOutput(stderr);
    status = AppMain(static_cast<int>(updaterArgs.size()) - 1, updaterArgs.data(), display, MakeUpdater);
    module->stop();
  }

  if (!imageOut.empty() && simLoader) writeImage(imageOut, simLoader->firmwareImage());
  if (!statsOut.empty() && simLoader) writeStats(statsOut, simLoader->stats());
  if (!transcriptOut.empty()) {
    std::ofstream out(transcriptOut, std::ios::trunc);
    out << module->transcript().text();
  }
  return status;
}
