// Shared pieces of the recovery flow tests: the boot ROMs and the live
// loader a recovery meets, the update server's data for them, the BIRD
// files involved, and a look at the store before and after.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BirdFixture.h"
#include "HID_SDPLoader.h"
#include "IMX1050.h"
#include "Log.h"
#include "SdpHidEndpoint.h"
#include "SdpPty.h"
#include "SdpRom.h"
#include "SdpTestSupport.h"
#include "SimLiveLoader.h"
#include "UpdateServerSim.h"
#include "UsbSimBus.h"
#include "run_process.h"

namespace recover {

namespace fs = std::filesystem;
using birdsim::Bytes;

// The module being brought back, and its recovery build.
constexpr uint32_t kModule = 0x40F5849A;
constexpr uint32_t kRecoveryBuild = 99528558;
constexpr uint32_t kOtherBuild = 99500000;
// The default recovery image's build (its loader blocks are the live loader).
constexpr uint32_t kDefaultImageBuild = 4242;

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kLoaderTailAddress = 0x20003000;
constexpr uint32_t kImxImageAddress = 0x60008000;

// System option 39 at subindex 0 to 3 of the live loader.
const jvsim::ChipId kChipId = {0xA0A0A0A0u, 0xB1B1B1B1u, 0xC2C2C2C2u, 0xD3D3D3D3u};

inline std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

inline std::string fingerprintKey(const uint32_t words[4]) {
  return hex8(words[0]) + " " + hex8(words[1]) + " " + hex8(words[2]) + " " + hex8(words[3]);
}

// The live loader image: two loader blocks, and a start address when asked.
struct LoaderImage {
  uint32_t serial = 0xDEADDEAD;
  uint32_t startAddress = 0;  // 0: no start-address block
  bool partial = false;       // declares a block more than it holds

  Bytes head() const { return noise(1500, 11); }
  Bytes tail() const { return noise(700, 12); }
  Bytes file() const {
    birdsim::Image bird;
    bird.blocks.push_back(birdsim::loader(kLoaderAddress, head()));
    bird.blocks.push_back(birdsim::loader(kLoaderTailAddress, tail()));
    if (startAddress != 0) bird.blocks.push_back(birdsim::startAddress(startAddress));
    bird.blocks.push_back(birdsim::descriptor(kDefaultImageBuild, "1.0.0", serial, "Recovery"));
    if (partial) bird.declaredCount = static_cast<uint32_t>(bird.blocks.size() + 1);
    return birdsim::file(bird);
  }
};

// A module's recovery build: firmware blocks with the module's serial
// number already in them (no serial-number offsets).
struct RecoveryImage {
  uint32_t build = kRecoveryBuild;
  uint32_t address = kImxImageAddress;
  size_t size = 3000;
  bool serialOffsets = false;
  bool withFirmware = true;
  // Scrambled with this fingerprint (LPC images), when set.
  const uint32_t* key = nullptr;
  // An end marker (a firmware block of a 4-byte payload) after the image.
  bool endMarker = false;
  bool partial = false;  // declares a block more than it holds

  Bytes payload() const { return noise(size, build); }
  Bytes file() const {
    birdsim::Image bird;
    if (withFirmware) bird.blocks.push_back(birdsim::firmware(address, payload()));
    if (endMarker) bird.blocks.push_back(birdsim::firmware(address + 0x40000, {0x12, 0x34, 0x56, 0x78}));
    if (serialOffsets) bird.blocks.push_back(birdsim::serialOffsets(address + 0x100, address + 0x200));
    bird.blocks.push_back(birdsim::descriptor(build, "2.16.0", kModule, "Norquil"));
    if (partial) bird.declaredCount = static_cast<uint32_t>(bird.blocks.size() + 1);
    return birdsim::file(key ? birdsim::scrambled(bird, key) : bird);
  }
};

inline void addDevice(updatesim::Config& config, uint32_t serial, uint32_t build, const Bytes& file) {
  updatesim::Device& d = config.devices[hex8(serial)];
  d.latestBuild = std::to_string(build);
  d.firmwareId = "FW-" + hex8(serial);
  d.builds.push_back({std::to_string(build), "2.16.0"});
  d.birdFiles[std::to_string(build)] = file;
}

// The update server of an LPC chip's recovery: the fingerprint names the
// module, and the image is the module's recovery build.
inline updatesim::Config lpcRecoveryServer(const RecoveryImage& image, const uint32_t chip[4]) {
  updatesim::Config config;
  addDevice(config, kModule, image.build, image.file());
  config.recovery[fingerprintKey(chip)] = {hex8(kModule), std::to_string(image.build)};
  return config;
}

// Every file under root with its bytes, and every directory (as "dir/").
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      out[name + "/"] = "";
    } else {
      out[name] = readFile(entry.path());
    }
  }
  return out;
}

inline void writeBird(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::string why;
  if (!birdsim::writeFile(path.string(), bytes, &why)) throw std::runtime_error(why);
}

// A module's directory in the store holding this BIRD file as its latest
// download.
inline void storeDownload(const fs::path& store, uint32_t serial, uint32_t build, const Bytes& file) {
  const fs::path device = store / hex8(serial);
  writeBird(device / (std::to_string(build) + ".bird"), file);
  std::ofstream(device / ".settings") << "LATEST_DOWNLOAD=" << build << ".bird\n";
}

// What the updater logs, for the packages given.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : file_(std::tmpfile()) {
    Log::DeactivatePackage(~0u);
    Log::ActivatePackage(packages);
    Log::SetOutput(file_);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(~0u);
    if (file_) std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::fflush(file_);
    std::string out;
    std::rewind(file_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) out.append(buffer, n);
    return out;
  }
  size_t count(const std::string& part) const {
    const std::string all = text();
    size_t n = 0;
    for (size_t at = 0; (at = all.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
  }

 private:
  FILE* file_;
};

// The i.MX RT boot ROM in serial download mode, reached as its HID device
// (port "USB") or on a pseudo-terminal; when it jumps, the live loader
// comes up on the simulated USB bus.
class ImxBench {
 public:
  explicit ImxBench(uint32_t liveSerial = 0xDEADDEAD, sdpsim::Config config = {})
      : rom_(config),
        endpoint_(rom_),
        device_(endpoint_),
        live_(jvsim::LiveLoader::make(jvsim::SimModule::overPipe(jvsim::LiveLoader::linkConfig(liveSerial)), kChipId)),
        liveSerial_(liveSerial) {
    aHIDSeamTest::attach(IMX1050::VID, IMX1050::PID, &device_);
    live_.module->start();
  }
  ~ImxBench() {
    pty_.reset();
    live_.module->stop();
  }
  ImxBench(const ImxBench&) = delete;
  ImxBench& operator=(const ImxBench&) = delete;

  // The live loader comes up once the boot ROM jumps (never, when off).
  void liveLoaderComesUp(bool on) {
    if (!on) {
      rom_.onJump(nullptr);
      return;
    }
    rom_.onJump([this] { bus_.plug(hex8(liveSerial_), *live_.module->pipeTransport()); });
  }
  // The port name that reaches the boot ROM: "USB", or a pseudo-terminal.
  std::string port(bool serial) {
    if (!serial) return "USB";
    if (!pty_) pty_ = std::make_unique<sdpsim::SdpPty>(rom_);
    return pty_->slavePath();
  }

  sdpsim::SdpRom& rom() { return rom_; }
  UsbSimBus& bus() { return bus_; }
  jvsim::LiveLoader& live() { return live_; }

 private:
  UsbSimBus bus_;
  sdpsim::SdpRom rom_;
  sdpsim::SdpHidEndpoint endpoint_;
  sdptest::HidDevice device_;
  sdptest::HidSeamGuard seam_;
  std::unique_ptr<sdpsim::SdpPty> pty_;
  jvsim::LiveLoader live_;
  uint32_t liveSerial_;
};

}  // namespace recover
