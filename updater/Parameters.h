#pragma once
// What the command line can say, and its reading.

#include <cstdint>
#include <string>

#include "SimpleOpt.h"
#include "UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x1,
  CMD_UPDATE = 0x2,
  CMD_LIST_BUILDS = 0x4,
  CMD_GET_BUILD = 0x8,
  CMD_VIEW_INFO = 0x10,
  CMD_CHECK_BIRD = 0x20,
  CMD_FINGERPRINT = 0x40,
  CMD_Z = 0x80,
  CMD_LIST_LOCAL_BUILDS = 0x200,
  CMD_HELP = 0x80000000,
};

// Every bit a command option sets, CMD_HELP excepted.
const uint32_t kCommandMask = 0x307FF;

// Transport values of -t.
const uint32_t TRANSPORT_USB = 1;
const uint32_t TRANSPORT_TCPIP = 2;
const uint32_t TRANSPORT_RECOVER = 255;

class CommandsClass {
 public:
  void Set(uint32_t bits) { value |= bits; }
  // True when any of the bits is set.
  bool IsSet(uint32_t bits) const { return (value & bits) != 0; }
  uint32_t Get() const { return value; }

 private:
  uint32_t value = 0;
};

// _get_params writes every default before it parses.
struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;
  uint32_t routerSerialNumber = 0;
  uint32_t transport = 0;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 0;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;
  std::string build;  // decimal text; empty means the latest build
  bool echo = false;
  std::string serverUrl;
  bool nOption = false;
  std::string storeDirectory;
  std::string appName;
  std::string homeDirectory;
  std::string logMode;
  std::string logFile;
  bool override = false;
  bool ueiBytes = false;
  uint32_t logMask = 0;
  bool logMaskGiven = false;
  bool help = false;
};

typedef CSimpleOptTempl<char>::SOption SOption;

// Row ids of the option table.
enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };

// The option table, ended by SO_END_OF_OPTIONS.
extern const SOption g_rgOptions[];

// Reads the command line into params. 0 when it was accepted, 1 when an
// option value was refused, or a word is no option the tool knows (an
// unknown, ambiguous or malformed option, one without its value, a word
// that is no option at all); each message is shown and reading goes on, so
// several can appear. A help option ends the reading at once with 0. argv
// is reordered in place (see SimpleOpt.h).
int _get_params(UpdaterDisplayInterface& display, int argc, char* argv[], Parameters& params);

// Cross-check after a successful reading; every combination is accepted.
int _validate_params(const Parameters& params);

// Hexadecimal (respectively decimal) text to its value, keeping the low 32
// bits of wider values. 0 when endp is null, and for text holding any other
// character (endp then untouched); otherwise *endp points past the digits.
// An empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** endp);
uint32_t _get_int_arg(const char* text, char** endp);
