// The live loader: what a module's boot ROM runs from a recovery image. It
// is a module of the family that comes up already in its loader (it takes
// firmware blocks at once, with no INIT or LOAD before them), answers system
// option 39 with the chip's four identifier words at subindex 0 to 3, and
// goes by the serial number of the image it came from: 0xDEADDEAD for the
// default recovery image.
//
// In-process use:
//
//   auto live = jvsim::LiveLoader::make(jvsim::SimModule::overPipe(jvsim::LiveLoader::linkConfig()),
//                                       {0xA, 0xB, 0xC, 0xD});
//   live.module->start();
//   ... the host finds it by serial number, reads option 39, sends firmware ...
//   live.loader->firmwareBytes(address, n);  live.commands->callCount(jvsim::kOptReset);
//
// The `sim` program's options:
//   --live-loader          start in the loader, serial 0xDEADDEAD unless --serial names another
//   --chip-id W0:W1:W2:W3  option 39 at subindex 0 to 3 (hex words)
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "SimCommandLine.h"
#include "SimCommands.h"
#include "SimLoader.h"
#include "SimModule.h"

namespace jvsim {

constexpr uint32_t kDefaultRecoverySerial = 0xDEADDEAD;

using ChipId = std::array<uint32_t, 4>;  // option 39, subindex 0 first

struct LiveLoader {
  std::unique_ptr<SimModule> module;
  std::shared_ptr<SimCommands> commands;
  std::shared_ptr<SimLoader> loader;

  // A link configuration with the default recovery serial number.
  static SimConfig linkConfig(uint32_t serial = kDefaultRecoverySerial);
  // Puts the command layer (with the chip identifier) and a loader already
  // running on a module that has not started.
  static LiveLoader make(std::unique_ptr<SimModule> module, const ChipId& chipId, LoaderConfig config = {});
};

// Sets the chip identifier words on a command layer.
void setChipId(SimCommands& commands, const ChipId& chipId);

struct LiveLoaderSetup {
  bool on = false;
  bool chipIdSet = false;
  ChipId chipId{};
};

// Takes argv[i] (and its value, advancing i) when it is one of the options
// above: 1 when taken, 0 when not ours, -1 when its value is bad (the
// message is on standard error).
int parseLiveLoaderOption(int argc, char** argv, int& i, LiveLoaderSetup& setup);
// The serial number the module should have: 0xDEADDEAD for a live loader
// still on the link layer's default serial number, else the one it has.
uint32_t liveLoaderSerial(const LiveLoaderSetup& setup, uint32_t serial);
// After the command layer and the loaders are installed: the chip
// identifier, and the module's own loader put into its loader mode. False
// with a message on standard error when the module has no loader.
bool applyLiveLoader(SimModule& module, const LiveLoaderSetup& setup);

const char* liveLoaderUsage();

// Header-only, so the sim library needs no new source file.

inline SimConfig LiveLoader::linkConfig(uint32_t serial) {
  SimConfig config;
  config.serial = serial;
  return config;
}

inline void setChipId(SimCommands& commands, const ChipId& chipId) {
  for (uint8_t subindex = 0; subindex < chipId.size(); ++subindex) {
    commands.set(kOptChipId, chipId[subindex], subindex);
  }
}

inline LiveLoader LiveLoader::make(std::unique_ptr<SimModule> module, const ChipId& chipId, LoaderConfig config) {
  LiveLoader live;
  live.commands = SimCommands::install(*module);
  setChipId(*live.commands, chipId);
  live.loader = SimLoader::install(*module, live.commands, config);
  live.loader->enterLoader();
  live.module = std::move(module);
  return live;
}

inline int parseLiveLoaderOption(int argc, char** argv, int& i, LiveLoaderSetup& setup) {
  const std::string a = argv[i];
  if (a == "--live-loader") {
    setup.on = true;
    return 1;
  }
  if (a != "--chip-id") return 0;
  const char* value = optionValue(argc, argv, i);
  if (!value) return -1;
  const std::string text = value;
  ChipId words{};
  size_t at = 0;
  for (size_t k = 0; k < words.size(); ++k) {
    const size_t colon = k + 1 < words.size() ? text.find(':', at) : text.size();
    int64_t word = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(at, colon - at), 0, 0xFFFFFFFFLL, &word, 16)) {
      std::fprintf(stderr, "sim: --chip-id needs four hex words W0:W1:W2:W3, not %s\n", value);
      return -1;
    }
    words[k] = static_cast<uint32_t>(word);
    at = colon + 1;
  }
  setup.chipId = words;
  setup.chipIdSet = true;
  return 1;
}

inline uint32_t liveLoaderSerial(const LiveLoaderSetup& setup, uint32_t serial) {
  return setup.on && serial == SimConfig{}.serial ? kDefaultRecoverySerial : serial;
}

inline bool applyLiveLoader(SimModule& module, const LiveLoaderSetup& setup) {
  std::shared_ptr<SimCommands> commands;
  std::shared_ptr<SimLoader> loader;
  for (const auto& h : module.handlers()) {
    if (auto c = std::dynamic_pointer_cast<SimCommands>(h); c && !commands && c->address() == module.config().address) {
      commands = c;
    }
    if (auto l = std::dynamic_pointer_cast<SimLoader>(h); l && !loader && l->address() == module.config().address) {
      loader = l;
    }
  }
  if (setup.chipIdSet && commands) setChipId(*commands, setup.chipId);
  if (!setup.on) return true;
  if (!loader) {
    std::fprintf(stderr, "sim: --live-loader needs the module's loader\n");
    return false;
  }
  loader->enterLoader();
  return true;
}

inline const char* liveLoaderUsage() {
  return "  --live-loader          start in the loader (serial DEADDEAD unless --serial names another)\n"
         "  --chip-id W0:W1:W2:W3  system option 39 at subindex 0 to 3 (hex words)\n";
}

}  // namespace jvsim
