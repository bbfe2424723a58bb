// The updater executable.
#include <cstdio>

#include "AppMain.h"
#include "CLI_Display.h"
#include "Log.h"
#include "RunInterrupts.h"

int main(int argc, char* argv[]) {
  // First, so that every thread the run starts leaves the signals to it.
  RunInterrupts interrupts;
  CLI_Display display;
  Log::SetOutput(stderr);
  return AppMain(argc, argv, display, MakeUpdater);
}
