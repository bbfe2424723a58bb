// module_info: connects to one network module over TCP and prints what it
// says about itself.
//
//   module_info ADDRESS PORT      e.g. module_info 192.168.1.40 8000
//
// Output, one item a line:
//   library 2.11.5
//   serial number 40F5849A
//   model 13 (Halvorn)
//   firmware 2.16.3
//
// Exit status 0 when every item was read, 1 on a failure (said on standard
// error), 2 for a bad command line.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jorvanite/Module.h>
#include <jorvanite/SystemClass.h>
#include <jorvanite/aDefs.h>
#include <jorvanite/aError.h>
#include <jorvanite/aVersion.h>

using namespace Tovanire::Jorvanite;

namespace {

bool fail(const char* what, aErr err) {
  std::fprintf(stderr, "module_info: %s: %s (%s)\n", what, aError_GetErrorText(err), aError_GetErrorDescription(err));
  return false;
}

bool printInfo(Module& module) {
  SystemClass system;
  system.init(&module, 0);

  uint32_t serial = 0;
  if (aErr err = system.getSerialNumber(&serial)) return fail("serial number", err);
  uint8_t model = 0;
  if (aErr err = system.getModel(&model)) return fail("model", err);
  uint32_t version = 0;
  if (aErr err = system.getVersion(&version)) return fail("firmware version", err);

  char versionText[32];
  aVersion_ParseString(version, versionText, sizeof versionText);
  std::printf("serial number %08X\n", static_cast<unsigned>(serial));
  std::printf("model %u (%s)\n", static_cast<unsigned>(model), aDefs_GetModelName(model));
  std::printf("firmware %s\n", versionText);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  in_addr address{};
  char* end = nullptr;
  const unsigned long port = argc == 3 ? std::strtoul(argv[2], &end, 10) : 0;
  if (argc != 3 || inet_pton(AF_INET, argv[1], &address) != 1 || *end || port == 0 || port > 65535) {
    std::fprintf(stderr, "usage: module_info ADDRESS PORT\n");
    return 2;
  }
  std::printf("library %s\n", aVersion_GetString());

  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = LINK_TCPIP;
  spec.address = address.s_addr;  // network byte order, as the specifier keeps it
  spec.port = static_cast<uint32_t>(port);

  // Any address will do: the module is asked for its own once connected.
  Module module(2);
  if (aErr err = module.connectFromSpec(spec)) {
    fail("connect", err);
    return 1;
  }
  const bool ok = printInfo(module);
  module.disconnect();
  return ok ? 0 : 1;
}
