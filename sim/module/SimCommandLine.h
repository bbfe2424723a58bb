// The `sim` program's options for the command layer, router sub-modules and
// command faults, kept apart from main.cpp so the program only forwards them.
//
//   --model N             model number (also set by the link layer's config)
//   --version X.Y.Z|0xW   firmware version, packed as the module reports it
//   --build N             firmware build number
//   --name TEXT           module name (byte block of system option 32)
//   --features 0xW        protocol feature word (bit 31: pooled packets)
//   --sub ADDR:SERIAL[:MODEL]
//                         a sub-module at an I2C bus address behind this
//                         module, which then routes (repeatable; hex serial)
//   --fault-error N[:CODE|:none]   next N requests answered with an error
//                         (CODE, default 6; "none": without a code byte)
//   --fault-length N[:+1|:-1]      next N replies one byte longer or shorter
//   --fault-corrupt N     next N replies with their last byte inverted
//   --fault-late N[:MS]   next N replies sent MS (default 1500) after the request;
//                         later requests are answered on time, so "1:1200" is a
//                         late reply that arrives behind the next request's answer
//   --fault-silence N     next N requests never answered
//   --fault-stream N      next N gets' replies preceded by a stream sample
//   --reset-drops         a reset call drops the connection after its reply
//   --fault-scope CMD[:OPTION]     faults only for that command (and option)
//   --fault-sub ADDR      the --fault-* switches act on that sub-module
//
// N is a count, or -1 for every request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimCommands.h"

namespace jvsim {

// Reads a whole number in [min, max] (base 0: decimal, 0x hex or 0 octal).
bool parseNumber(const std::string& s, int64_t min, int64_t max, int64_t* out, int base = 0);
// The value of the option at argv[i], advancing i to it; null, after saying
// which option lacks it, when the command line ends first.
const char* optionValue(int argc, char** argv, int& i);
// Reads "X.Y.Z" or a packed "0xW" into the word the module reports.
bool parseVersion(const std::string& s, int64_t* out);

struct CommandLineSetup {
  int model = -1;
  int64_t version = -1;
  int64_t build = -1;
  std::string name;
  bool nameSet = false;
  int64_t features = -1;
  struct Sub {
    uint8_t address;
    uint32_t serial;
    uint8_t model;
  };
  std::vector<Sub> subs;
  int faultError = 0, faultCode = code::kIO;
  int faultLength = 0, faultDelta = 1;
  int faultLate = 0, faultLateMs = 1500;
  int faultSilence = 0;
  int faultStream = 0;
  int faultCorrupt = 0;
  bool resetDrops = false;
  int faultCommand = -1, faultOption = -1;
  int faultSub = -1;
};

// Takes argv[i] (and its value, advancing i) when it is one of the options
// above: 1 when taken, 0 when not ours, -1 when its value is bad (the
// message is on standard error).
int parseCommandOption(int argc, char** argv, int& i, CommandLineSetup& setup);

// Installs the command layer (and the router, when there are sub-modules)
// on the module, before it starts. Returns false with a message on
// standard error when the setup cannot be honoured.
bool installCommandLine(SimModule& module, const CommandLineSetup& setup);

const char* commandLineUsage();

}  // namespace jvsim
