// Entry of the guest test programs: gtest, plus --gadget=PATH for where
// usbgadget is (default: found on PATH).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "GadgetBus.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--gadget=", 0) == 0) usbvm::gGadgetPath = a.substr(9);
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "%s: needs root and a USB device controller; run it through scripts/usbvm\n", argv[0]);
    return 1;
  }
  return RUN_ALL_TESTS();
}
