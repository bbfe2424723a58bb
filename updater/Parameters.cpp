#include "Parameters.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "Updater_Builds.h"
#include "aDirectory.h"

const SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_ARG_NONE},        {OPT_COMMAND, "-L", SO_ARG_NONE},
    {OPT_COMMAND, "-D", SO_ARG_NONE},        {OPT_COMMAND, "-G", SO_ARG_NONE},
    {OPT_COMMAND, "-I", SO_ARG_NONE},        {OPT_COMMAND, "-U", SO_ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_ARG_NONE}, {OPT_COMMAND, "-N", SO_ARG_NONE},
    {OPT_COMMAND, "-Y", SO_ARG_NONE},        {OPT_COMMAND, "-C", SO_ARG_NONE},
    {OPT_HELP, "-h", SO_ARG_NONE},           {OPT_HELP, "-H", SO_ARG_NONE},
    {OPT_PARAMETER, "-n", SO_ARG_NONE},      {OPT_PARAMETER, "-X", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-Z", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-m", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-i", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-b", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-d", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-t", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-f", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-r", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-s", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-o", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-e", SO_ARG_NONE},      {OPT_PARAMETER, "-l", SO_ARG_REQUIRED},
    {OPT_PARAMETER, "-k", SO_ARG_REQUIRED},  {OPT_PARAMETER, "-u", SO_ARG_REQUIRED},
    {OPT_HELP, "--help", SO_ARG_NONE},       SO_END_OF_OPTIONS,
};

namespace {

const char kUpdateServerPath[] = "/cgi/u";

// Digits only, accumulated modulo 2^32 so that a wider value keeps exactly
// its low 32 bits however long the text is.
uint32_t _get_digits(const char* text, char** endp, unsigned base) {
  if (endp == nullptr || text == nullptr)
    return 0;
  const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
  if (text[strspn(text, digits)] != '\0')
    return 0;
  uint32_t value = 0;
  const char* p = text;
  for (; *p != '\0'; ++p) {
    unsigned d = (*p >= '0' && *p <= '9') ? unsigned(*p - '0') : unsigned((*p | 0x20) - 'a' + 10);
    value = value * base + d;
  }
  *endp = const_cast<char*>(p);
  return value;
}

bool _has_hex_prefix(const char* text) {
  return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

void _set_defaults(Parameters& params) {
  params.serialNumber = 0;
  params.routerSerialNumber = 0;
  params.transport = TRANSPORT_USB;
  params.transportGiven = false;
  params.serialPort.clear();
  params.baudRate = 115200;
  params.moduleAddress = 0;
  params.birdFile.clear();
  params.historyMessage.clear();
  params.build.clear();
  params.echo = false;
  params.serverUrl = JV_UPDATE_SERVER_URL;
  params.nOption = false;
  params.storeDirectory.clear();
  params.appName.clear();
  params.homeDirectory.clear();
  params.homeDirectory.reserve(2048);
  params.logMode = "a+";
  params.logFile = "Updater.log";
  params.override = false;
  params.ueiBytes = true;
  params.logMask = 0;
  params.logMaskGiven = false;
  params.help = false;
}

// -d and -r: an optional 0x prefix, then hexadecimal digits; 0 is no serial
// number. False after showing the refusal.
bool _read_serial(UpdaterDisplayInterface& display, const char* arg, uint32_t& out, const char* prefixLine,
                  const char* refusal) {
  if (_has_hex_prefix(arg)) {
    Log::log(DEBUG_Updater, "%s", prefixLine);
    arg += 2;
  }
  char* end = nullptr;
  out = _get_hex_arg(arg, &end);
  if (out == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, refusal, arg);
    return false;
  }
  // Kept to its low 32 bits, a mistyped long number would name some other
  // module: refuse it. Leading zeros change nothing and are let through.
  const char* significant = arg + strspn(arg, "0");
  if (strlen(significant) > 8) {
    std::string text(refusal);
    text += ": more than eight hexadecimal digits";
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, text.c_str(), arg);
    out = 0;
    return false;
  }
  return true;
}

// -u: the usage line promises "host:port", and the default URL's path is
// the server's "/cgi/u"; a URL with a path of its own is used as given.
std::string _update_server_url(const std::string& arg) {
  if (arg.empty())
    return arg;
  std::string url = arg;
  size_t authority = url.find("://");
  if (authority == std::string::npos) {
    url = "http://" + url;
    authority = 4;
  }
  authority += 3;
  const size_t pathAt = url.find_first_of("/?#", authority);
  if (pathAt == std::string::npos)
    return url + kUpdateServerPath;
  if (url.compare(pathAt, std::string::npos, "/") == 0)
    return url.substr(0, pathAt) + kUpdateServerPath;
  return url;
}

// -b: a whole decimal number that fits in 32 bits (0 is the latest build).
// Anything else is refused: read as 0 or cut to 32 bits it would fetch or
// install a build nobody asked for.
bool _read_build(UpdaterDisplayInterface& display, const char* arg, std::string& build) {
  const char* why = nullptr;
  uint32_t value = 0;
  if (arg[0] == '\0' || arg[strspn(arg, "0123456789")] != '\0')
    why = "not a whole decimal number";
  else if (!_parse_build(arg, value))
    why = "larger than 4294967295";
  if (why != nullptr) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid build number obtained from argument [%s]: %s", arg,
                    why);
    return false;
  }
  build = std::to_string(value);
  return true;
}

// The option's value, or false after showing the refusal.
bool _read_parameter(UpdaterDisplayInterface& display, const char* text, char* arg, Parameters& params) {
  char* end = nullptr;
  switch (text[1]) {
    case 'd':
      return _read_serial(display, arg, params.serialNumber, "Discarding '0x' serial number prefix\n",
                          "Invalid serial number obtained from argument [%s]");
    case 'r':
      return _read_serial(display, arg, params.routerSerialNumber, "Discarding '0x' router serial number prefix\n",
                          "Invalid router serial number obtained from argument [%s]");
    case 'b':
      return _read_build(display, arg, params.build);
    case 'o':
      params.baudRate = _get_int_arg(arg, &end);
      return true;
    case 't':
      params.transportGiven = true;
      if (strncmp(arg, "USB", 3) == 0) {
        params.transport = TRANSPORT_USB;
      } else if (strncmp(arg, "TCP", 3) == 0) {
        params.transport = TRANSPORT_TCPIP;
      } else if (strncmp(arg, "RECOVER", 7) == 0) {
        params.transport = TRANSPORT_RECOVER;
      } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
        params.transport = 0;
        return false;
      }
      return true;
    case 'X': {
      params.logMaskGiven = true;
      int base = _has_hex_prefix(arg) ? 16 : 10;
      errno = 0;
      unsigned long value = strtoul(arg, &end, base);
      params.logMask = static_cast<uint32_t>(value);
      if (end != nullptr && *end != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", end);
        return true;
      }
      Log::ActivatePackage(params.logMask);
      return true;
    }
    case 'm':
      params.ueiBytes = strncmp(arg, "1", 1) == 0 || strncmp(arg, "true", 4) == 0;
      return true;
    case 'Z':
      params.commands.Set(CMD_Z);
      return true;
    case 'i':
      params.storeDirectory = arg;
      return true;
    case 'f':
      params.birdFile = arg;
      return true;
    case 's':
      params.serialPort = arg;
      return true;
    case 'u':
      params.serverUrl = _update_server_url(arg);
      return true;
    case 'l':
      params.historyMessage = arg;
      return true;
    case 'k':
      params.logFile = arg;
      return true;
    case 'e':
      params.echo = true;
      return true;
    case 'n':
      params.nOption = true;
      return true;
  }
  return true;
}

// A command row, or false after showing the refusal.
bool _read_command(UpdaterDisplayInterface& display, const char* text, Parameters& params) {
  switch (text[1]) {
    case 'B':
      params.commands.Set(CMD_LIST_BUILDS);
      break;
    case 'L':
      params.commands.Set(CMD_LIST_LOCAL_BUILDS);
      break;
    case 'D':
      params.commands.Set(CMD_DISCOVER);
      break;
    case 'G':
      params.commands.Set(CMD_GET_BUILD);
      break;
    case 'I':
      params.commands.Set(CMD_VIEW_INFO);
      break;
    case 'U':
      params.commands.Set(CMD_UPDATE);
      break;
    case 'N':
      params.commands.Set(CMD_FINGERPRINT);
      break;
    case 'C':
      params.commands.Set(CMD_CHECK_BIRD);
      break;
    case 'O':
      params.override = true;
      break;
    default:
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", text);
      return false;
  }
  return true;
}

// Says why a word of the command line is no option the tool knows.
void _refuse_word(UpdaterDisplayInterface& display, int error, const char* text) {
  const auto level = UpdaterDisplayInterface::LEVEL_ERROR;
  switch (error) {
    case SO_OPT_MULTIPLE:
      display.message(level, "Ambiguous option: [%s]", text);
      break;
    case SO_ARG_INVALID:
      display.message(level, "Option [%s] takes no value", text);
      break;
    case SO_ARG_MISSING:
      display.message(level, "Option [%s] needs a value", text);
      break;
    default:
      display.message(level, "Unknown option: [%s]", text);
      break;
  }
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** endp) {
  return _get_digits(text, endp, 16);
}

uint32_t _get_int_arg(const char* text, char** endp) {
  return _get_digits(text, endp, 10);
}

int _validate_params(const Parameters&) {
  return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char* argv[], Parameters& params) {
  _set_defaults(params);
  if (argc > 0 && argv[0] != nullptr) {
    const char* name = argv[0];
    for (const char* p = argv[0]; *p != '\0'; ++p)
      if (*p == '/' || *p == '\\')
        name = p + 1;
    params.appName = name;
  }
  char home[2048];
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone)
    params.homeDirectory = home;

  bool refused = false;
  CSimpleOptA parser(argc, argv, g_rgOptions, 0);
  while (parser.Next()) {
    if (parser.LastError() != SO_SUCCESS) {
      // A word the tool cannot read is no option to pass over: the run it
      // asked for is not the one that would be made.
      _refuse_word(display, parser.LastError(), parser.OptionText());
      refused = true;
      continue;
    }
    const char* text = parser.OptionText();
    switch (parser.OptionId()) {
      case OPT_HELP:
        params.commands.Set(CMD_HELP);
        params.help = true;
        return 0;
      case OPT_COMMAND:
        if (!_read_command(display, text, params))
          refused = true;
        break;
      case OPT_PARAMETER:
        if (!_read_parameter(display, text, parser.OptionArg(), params))
          refused = true;
        break;
    }
  }

  for (int i = 0; i < parser.FileCount(); ++i) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Not an option: [%s]", parser.File(i));
    refused = true;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.appName.c_str());
  for (int i = 0; i < argc; ++i)
    Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
  if (refused)
    return 1;
  return _validate_params(params);
}
