#pragma once
// Console display: information on standard output, errors on standard error,
// and the progress bar and spinner only when standard output is a terminal
// (a pipe or a file never receives carriage returns or clearing blanks).

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so that partial
  // lines beginning with a carriage return appear at once.
  CLI_Display();

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // For a run that ends at once (an interrupt): ends the terminal line when
  // a bar or spinner was left on it, so the shell's prompt starts on a line
  // of its own, and keeps standard output and standard error locked for the
  // rest of the process. Safe from any thread; never undone.
  static void EndLineForExit();
};
