#include "CLI_Display.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "PrintableText.h"

namespace {

const int kClearWidth = 88;
const char kBar[] = "=====================================================================";
const int kBarWidth = sizeof kBar - 1;
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// One counter for every display, so that a new display carries on the turn.
uint8_t s_spinnerFrame = 0;

// Whether the terminal line holds a bar or a spinner frame that no line end
// followed yet. It changes only under standard output's lock, together with
// what is written, so the way out of an interrupted run sees the two agree.
std::atomic<bool> s_lineOpen{false};

// Holds standard output's lock for one write and the state that goes with it.
class StdoutLock {
 public:
  StdoutLock() { flockfile(stdout); }
  ~StdoutLock() { funlockfile(stdout); }
  StdoutLock(const StdoutLock&) = delete;
  StdoutLock& operator=(const StdoutLock&) = delete;
};

bool _stdout_is_terminal() {
  return isatty(fileno(stdout)) == 1;
}

void _clear_line() {
  StdoutLock lock;
  fprintf(stdout, "\r%*s\r", kClearWidth, " ");
  s_lineOpen = false;
}

}  // namespace

CLI_Display::CLI_Display() {
  muted = false;
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
  if (!_stdout_is_terminal())
    return;
  if (!on)
    _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!_stdout_is_terminal())
    return;
  // Out-of-range fractions are drawn as the nearest end, so the bar never
  // overflows its brackets.
  if (!(fraction >= 0.0))
    fraction = 0.0;
  if (fraction > 1.0)
    fraction = 1.0;
  int width = kBarWidth;
  if (label != nullptr) {
    width = kBarWidth - static_cast<int>(strlen(label)) - 4;
    if (width < 0)
      width = 0;
  }
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  StdoutLock lock;
  if (label != nullptr)
    fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  else
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  s_lineOpen = true;
}

void CLI_Display::update_spinner(bool on, const char* label) {
  if (!_stdout_is_terminal())
    return;
  if (!on) {
    _clear_line();
    return;
  }
  const char* frame = kSpinnerFrames[s_spinnerFrame];
  StdoutLock lock;
  if (label != nullptr)
    fprintf(stdout, "\r (%s) %s      \r", label, frame);
  else
    fprintf(stdout, "\r %s      \r", frame);
  s_lineOpen = true;
  s_spinnerFrame = (s_spinnerFrame + 1) & 7;
}

void CLI_Display::info_message(const char* text) {
  // The last guard for text from outside that a caller did not make
  // printable itself: a terminal obeys the controls in what it is given.
  const std::string shown = PrintableLines(text);
  StdoutLock lock;
  fprintf(stdout, "%s\n", shown.c_str());
  s_lineOpen = false;
}

void CLI_Display::error_message(const char* text) {
  fprintf(stderr, "%s\n", PrintableLines(text).c_str());
}

void CLI_Display::EndLineForExit() {
  flockfile(stdout);
  if (s_lineOpen.exchange(false)) {
    fputc_unlocked('\n', stdout);
    fflush_unlocked(stdout);
  }
  // Kept locked, and standard error with it: nothing the run's other
  // threads still write can land after the line end.
  flockfile(stderr);
}
