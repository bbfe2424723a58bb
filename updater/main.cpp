// The updater executable.
#include <cstdio>

#include "AppMain.h"
#include "CLI_Display.h"
#include "Log.h"

int main(int argc, char* argv[])
{
  CLI_Display display;
  Log::SetOutput(stderr);
  return AppMain(argc, argv, display, MakeUpdater);
}
