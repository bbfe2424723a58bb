#include "AppMain.h"

#include <cstdlib>
#include <cstring>

#include "BuildPath.h"
#include "Log.h"
#include "PrintableText.h"
#include "UpdateServerRequest.h"
#include "aDefs.h"
#include "aDirectory.h"
#include "aError.h"
#include "aVersion.h"

namespace {

typedef UpdaterDisplayInterface::Level Level;
const Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const char kAppName[] = "Updater";
const char kReleaseDate[] = "Oct 13 2025";
// Characters of each build-table column; longer fields are cut.
const size_t kBuildColumn = 15;
const char kRightsNotice[] = "Copyright (c) the Jorvanite updater authors.";

// The real Updater, operation for operation.
class UpdaterAdapter : public UpdaterCommands {
 public:
  UpdaterAdapter(const char* url, const char* dir, UpdaterDisplayInterface& display) : updater(url, dir, display) {}

  void Set_UEIBytes_Load(bool on) override { updater.Set_UEIBytes_Load(on); }
  std::vector<DeviceInfo> Discover_Devices(linkType type) override { return updater.Discover_Devices(type); }
  std::vector<DeviceInfo> Discover_JVNetwork_Devices(uint32_t router, linkType type) override {
    return updater.Discover_JVNetwork_Devices(router, type);
  }
  bool Get_BuildList(uint32_t serial, BuildMap& builds) override { return updater.Get_BuildList(serial, builds); }
  bool Get_BuildListLocal(uint32_t serial, BuildMap& builds) override {
    return updater.Get_BuildListLocal(serial, builds);
  }
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal) override {
    return updater.Download_Firmware(serial, std::move(build), override, noCal);
  }
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string path, uint8_t address, uint32_t router,
                       bool override) override {
    return updater.Update_Firmware(serial, build, std::move(path), address, router, override);
  }
  bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string path, uint32_t rate,
                       bool reset) override {
    return updater.Get_Fingerprint(out, std::move(port), serial, std::move(path), rate, reset);
  }
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t rate, uint32_t serial, std::string path,
                        bool override) override {
    return updater.Recover_Firmware(std::move(port), build, rate, serial, std::move(path), override);
  }

 private:
  Updater updater;
};

// Usage layout: an option entry is five blanks, the option in 25 columns,
// "- " and its first line; further lines are indented by 32 blanks. A
// sample is its command in 31 columns and its first line; further lines are
// indented by 31 blanks.
struct Entry {
  const char* option;
  std::vector<const char*> lines;
  bool blankAfter;
};

std::string _pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void _append_entries(std::string& out, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    out += "     " + _pad(e.option, 25) + "- " + e.lines[0] + "\n";
    for (size_t i = 1; i < e.lines.size(); ++i)
      out += std::string(32, ' ') + e.lines[i] + "\n";
    if (e.blankAfter)
      out += "\n";
  }
}

struct Sample {
  const char* command;
  std::vector<const char*> lines;
};

void _append_samples(std::string& out, const std::vector<Sample>& samples, bool lastStandsAlone) {
  for (size_t s = 0; s < samples.size(); ++s) {
    const Sample& sample = samples[s];
    size_t first = 0;
    if (lastStandsAlone && s + 1 == samples.size()) {
      out += std::string(sample.command) + "\n";
    } else {
      out += _pad(sample.command, 31) + sample.lines[0] + "\n";
      first = 1;
    }
    for (size_t i = first; i < sample.lines.size(); ++i)
      out += std::string(31, ' ') + sample.lines[i] + "\n";
    out += "\n";
  }
}

std::string _log_package_line(const char* name, uint32_t bit) {
  char buf[64];
  snprintf(buf, sizeof buf, "%-20s0x%08X", name, static_cast<unsigned>(bit));
  return buf;
}

std::string _short_usage() {
  std::string out = "\nApplication Usage:\n";
  out += kAppName;
  out +=
      " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
      "    [-d serial_num]\n"
      "    [-t transport] [-r router_serial]\n"
      "    [-s serial_port] [-o baud_rate]\n"
      "\n"
      "  Jorvanite Update and Maintenance Application\n"
      "    -H -h or --help for full usage information.\n"
      "\n";
  return out;
}

std::string _usage_block_a() {
  std::string out = "  Parameters to commands:\n";
  _append_entries(out, {
                           {"-i <tovanire_directory>",
                            {"The Tovanire directory used for storage of ", "firmware files. [Default: ~/.tovanire ]."},
                            false},
                           {"-b <build number>",
                            {"Build version of the firmware to transfer.", "[Default: latest version available]."},
                            false},
                           {"-d <device>", {"Device serial number of the device to access."}, false},
                           {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false},
                           {"-f <bird file>", {"Firmware file to be transferred to device."}, false},
                           {"-r <router serial>", {"indirect connection through router device"}, false},
                           {"-s <serial port>", {"name of serial port to use for recovery"}, false},
                           {"-o <baud rate>",
                            {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"},
                            false},
                       });
  out += "  Commands:\n";
  _append_entries(
      out, {
               {"-B", {"list the Builds available for given device."}, true},
               {"-L", {"list the local Builds available for given device."}, true},
               {"-D", {"Discover devices that are currently connected."}, true},
               {"-G",
                {"Get build file from the Tovanire server and", "store on local machine for download to device.",
                 "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
                 "given device, override with \"-b\" option."},
                true},
               {"-U",
                {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
                 "Default is to download the latest build for the", "given device, override with \"-b\" option or",
                 "specify specific BIRD file using \"-f\" option."},
                false},
               {"-H or -h", {"Display extended usage information."}, false},
           });
  out += "\n";
  return out;
}

std::string _usage_block_b() {
  const std::string defaultServer = "Default: " + _server_host_port(JV_UPDATE_SERVER_URL);
  std::string out = "  Extended Parameters:\n";
  _append_entries(out,
                  {
                      {"-e", {"echoing of bytes enabled during recovery."}, true},
                      {"-m", {"Attemps to use UEIBytes for faster loading"}, false},
                      {"-l 'log message'", {"message to place in device history log"}, false},
                      {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}, false},
                      {"-u <host:port>", {"The hostname and port of the update server", defaultServer.c_str()}, false},
                  });
  out += "  Extended Commands:\n";
  _append_entries(out, {
                           {"-I",
                            {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
                             "specify a specific device [\"-d\" option]."},
                            true},
                           {"-OVERRIDE",
                            {"Override the model checks for BIRD firmware files.",
                             "This option should only be used when authorized by", "Tovanire development engineers."},
                            true},
                           {"-N", {"Get fingerprint from a device, requires -s"}, true},
                       });

  // The log packages, grouped; an empty name stands for an empty line.
  static const struct {
    const char* name;
    uint32_t bit;
  } packages[] = {
      {"DEBUG_Updater", DEBUG_Updater},
      {"DEBUG_History", DEBUG_History},
      {"DEBUG_Attributes", DEBUG_Attributes},
      {"DEBUG_BirdFile", DEBUG_BirdFile},
      {"DEBUG_Network", DEBUG_Network_Legacy},
      {"DEBUG_ServerComm", DEBUG_ServerComm},
      {"", 0},
      {"DEBUG_Network", DEBUG_Network},
      {"DEBUG_Network_SR", DEBUG_Network_SR},
      {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
      {"", 0},
      {"DEBUG_NXPSerial", DEBUG_NXPSerial},
      {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
      {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
      {"", 0},
      {"DEBUG_APP", DEBUG_APP},
      {"", 0},
      {"DEBUG_iMXSerial", DEBUG_iMXSerial},
      {"", 0},
  };
  out += "     " + _pad("-X <BIT_MASK>", 25) + "- Bitmask for Logging\n";
  for (const auto& p : packages) {
    if (p.name[0] == '\0')
      out += "\n";
    else
      out += std::string(32, ' ') + _log_package_line(p.name, p.bit) + "\n";
  }
  _append_entries(out, {{"-C", {"Check the given BIRDFILE"}, false}});
  out += "\n";
  return out;
}

std::string _usage_block_c() {
  std::string out = " Sample usage:\n\n";
  _append_samples(
      out,
      {
          {"-D",
           {"Discover all devices connected by either USB or TCPIP.",
            "Records the device information into the settings for that device."}},
          {"-D -t USB",
           {"Discover all the devices connected by USB. Records the",
            "device information into the settings for that device."}},
          {"-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"}},
          {"-G -d 40F5849A",
           {"Get the latest firmware for the given device.",
            "Downloads the firmware file into the updater specific device directory."}},
          {"-U -d 40F5849A",
           {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
            "the latest firmware version to be used for updating the device."}},
          {"-G -d 40F5849A -b 99528558",
           {"Get the specified build's firmware for the given device.",
            "Downloads the firmware file into the updater's specific",
            "device directory with the build number as the filename."}},
          {"-G -U -d 40F5849A",
           {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
            "device directory. After download, update the firmware", "using the latest release."}},
          {"-U -t RECOVER -s /dev/serial",
           {"Update the firmware as described above, but uses the serial interface",
            "in communicating with the device to install the latest firmware."}},
      },
      false);
  out += " Sample usage for network discovery and updates:\n\n";
  _append_samples(
      out,
      {
          {"-D -r D272031D",
           {"Discover all devices connected to the I2C Jorvanite network", "of the given routing device D272031D."}},
          {"-G -U -d 2181F0EE -r D272031D",
           {"Get and Update to the latest firmware for device 2181F0EE",
            "indirectly through routing device D272031D."}},
      },
      true);
  return out;
}

// Decimal text (as -b and a download leave it) to a build number; empty
// means 0, the latest build.
uint32_t _build_number(const std::string& build) {
  char* end = nullptr;
  return _get_int_arg(build.c_str(), &end);
}

int _run_discover(UpdaterDisplayInterface& display, UpdaterCommands& updater, const Parameters& params) {
  linkType type = LINK_STREAM;
  if (params.transportGiven && params.transport != TRANSPORT_RECOVER)
    type = static_cast<linkType>(params.transport);
  if (params.routerSerialNumber != 0) {
    display.message(INFO, "Searching for Jorvanite Network devices connected to %08X", params.routerSerialNumber);
    _display_device_list(display, updater.Discover_JVNetwork_Devices(params.routerSerialNumber, type), type);
    return 0;
  }
  display.message(INFO, "Searching for Jorvanite devices");
  // Without -t the direct search covers USB only.
  if (type == LINK_STREAM)
    type = LINK_USB;
  _display_device_list(display, updater.Discover_Devices(type), type);
  return 0;
}

int _run_update(UpdaterDisplayInterface& display, UpdaterCommands& updater, const Parameters& params) {
  uint32_t build = _build_number(params.build);
  updater.Set_UEIBytes_Load(params.ueiBytes);
  if (params.transport == TRANSPORT_RECOVER)
    return updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber, params.birdFile,
                                    params.override)
               ? 0
               : 1;
  if (params.serialNumber == 0) {
    display.message(ERROR, "Must specify the specific device to be updated");
    return 1;
  }
  return updater.Update_Firmware(params.serialNumber, build, params.birdFile, params.moduleAddress,
                                 params.routerSerialNumber, params.override)
             ? 0
             : 1;
}

}  // namespace

std::unique_ptr<UpdaterCommands> MakeUpdater(const char* serverUrl, const char* storeDir,
                                             UpdaterDisplayInterface& display) {
  return std::make_unique<UpdaterAdapter>(serverUrl, storeDir, display);
}

void _display_app_version(UpdaterDisplayInterface& display) {
  char version[64];
  snprintf(version, sizeof version, "Version: %s %s", aVersion_GetString(), kReleaseDate);
  display.message(INFO, "%s (%s)", kAppName, version);
}

void _display_rights_notice(UpdaterDisplayInterface& display) {
  display.message(INFO, "%s", kRightsNotice);
}

std::string _server_host_port(const std::string& url) {
  std::string rest = url;
  std::string scheme;
  size_t colonSlashes = rest.find("://");
  if (colonSlashes != std::string::npos) {
    scheme = rest.substr(0, colonSlashes);
    rest = rest.substr(colonSlashes + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  size_t at = rest.rfind('@');
  if (at != std::string::npos)
    rest = rest.substr(at + 1);
  size_t bracket = rest.rfind(']');
  size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket))
    return rest;
  return rest + (scheme == "https" ? ":443" : ":80");
}

std::string _usage_text(bool extended, bool full) {
  std::string out = _short_usage();
  if (full)
    out += _usage_block_a();
  if (full && extended)
    out += _usage_block_b();
  if (full)
    out += _usage_block_c();
  return out;
}

void _display_usage(bool extended, bool full, FILE* out) {
  std::string text = _usage_text(extended, full);
  fwrite(text.data(), 1, text.size(), out);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type) {
  const char* typeName = type == LINK_USB ? "USB" : type == LINK_TCPIP ? "TCPIP" : "Unknown";
  display.message(INFO, "Discovered Devices: (%s)", typeName);
  if (devices.empty()) {
    display.message(INFO, "    No devices found.");
    return;
  }
  if (type == LINK_USB)
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
                    "       Device Name");
  for (const DeviceInfo& d : devices) {
    const linkSpec& s = d.spec;
    const char* model = aDefs_GetModelName(s.model);
    char address[20] = "";
    const std::string name = PrintableText(d.name);
    if (s.type == LINK_TCPIP) {
      unsigned char ip[4];
      memcpy(ip, &s.address, sizeof ip);
      snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
    }
    if (d.heldBy != 0) {
      // Not connected to: the row holds what its discovery answer said.
      char by[48] = "another process";
      if (d.heldBy > 0)
        snprintf(by, sizeof by, "process %ld", d.heldBy);
      display.message(INFO, "    %08X  %02X       %02X      %-12s [Being updated by %s]%s%s", s.serialNumber, s.module,
                      s.router, model, by, address[0] ? "  " : "", address);
    } else if (s.type == LINK_TCPIP) {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", s.serialNumber,
                      s.module, s.router, model, d.major, d.minor, static_cast<int>(d.patch), d.build, address,
                      name.c_str());
    } else if (d.error != 0) {
      display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", s.serialNumber,
                      d.error);
    } else {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", s.serialNumber,
                      s.module, s.router, model, d.major, d.minor, static_cast<int>(d.patch), d.build, name.c_str());
    }
  }
}

void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(INFO, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
  display.message(INFO, "%s\t%s", PrintableColumn("Build", kBuildColumn).c_str(),
                  PrintableColumn("Version", kBuildColumn).c_str());
  // Both fields come from the server or the store's file names and files.
  for (const auto& row : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(INFO, "%s\t%s", PrintableColumn(row.first, kBuildColumn).c_str(),
                    PrintableColumn(row.second, kBuildColumn).c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp) {
  display.message(INFO, "[ %08X %08X %08X %08X ]", fp.word[0], fp.word[1], fp.word[2], fp.word[3]);
}

int AppMain(int argc, char* argv[], UpdaterDisplayInterface& display, const UpdaterFactory& makeUpdater, FILE* usage) {
  Parameters params;
  if (_get_params(display, argc, argv, params) != 0) {
    _display_app_version(display);
    _display_rights_notice(display);
    _display_usage(false, false, usage);
    return 1;
  }
  _display_app_version(display);
  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(kCommandMask)) {
    _display_rights_notice(display);
    _display_usage(params.logMaskGiven, params.help, usage);
    return 0;
  }

  std::string base = params.storeDirectory;
  if (base.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
      display.message(ERROR, "Could not find the home directory (%s); name a storage directory with -i",
                      aError_GetErrorText(err));
      return 1;
    }
    base = BuildPath(home, ".tovanire", nullptr);
  }
  const std::string storeDir = BuildPath(base.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(storeDir.c_str(), 0755) != aErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", storeDir.c_str());
    return 1;
  }

  std::unique_ptr<UpdaterCommands> updater = makeUpdater(params.serverUrl.c_str(), storeDir.c_str(), display);
  int status = 0;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serialPort.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater->Get_Fingerprint(fingerprint, params.serialPort, DEFAULT_SERIAL_NUMBER, params.birdFile,
                                 params.baudRate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_GET_BUILD)) {
    if (params.serialNumber == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serialNumber);
    if (params.build.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    uint32_t got = updater->Download_Firmware(params.serialNumber, params.build, params.override, false);
    if (got != 0) {
      // A following update installs exactly the build just stored.
      params.build = std::to_string(got);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_DISCOVER))
    return _run_discover(display, *updater, params);
  if (params.commands.IsSet(CMD_UPDATE))
    return _run_update(display, *updater, params);
  if (params.commands.IsSet(CMD_LIST_BUILDS) || params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
    const bool remote = params.commands.IsSet(CMD_LIST_BUILDS);
    if (params.serialNumber == 0) {
      display.message(ERROR, remote ? "Error must supply a serial number for the List Builds command"
                                    : "Error must supply a serial number for the List Local Builds command");
      _display_usage(false, false, usage);
      return 1;
    }
    BuildMap builds;
    // A server that could not be asked is no proof that it has no builds.
    if (remote && !updater->Get_BuildList(params.serialNumber, builds))
      return 1;
    if (!remote && !updater->Get_BuildListLocal(params.serialNumber, builds))
      return 1;
    _display_builds(display, builds, params.serialNumber);
    return 0;
  }
  return status;
}
