#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const int kClearWidth = 88;
const char kBar[] = "=====================================================================";
const int kBarWidth = sizeof kBar - 1;
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// One counter for every display, so that a new display carries on the turn.
uint8_t s_spinnerFrame = 0;

bool _stdout_is_terminal()
{
  return isatty(fileno(stdout)) == 1;
}

void _clear_line()
{
  fprintf(stdout, "\r%*s\r", kClearWidth, " ");
}

} // namespace

CLI_Display::CLI_Display()
{
  muted = false;
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on)
{
  if (!_stdout_is_terminal())
    return;
  if (!on)
    _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
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
  if (label != nullptr)
    fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  else
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label)
{
  if (!_stdout_is_terminal())
    return;
  if (!on) {
    _clear_line();
    return;
  }
  const char* frame = kSpinnerFrames[s_spinnerFrame];
  if (label != nullptr)
    fprintf(stdout, "\r (%s) %s      \r", label, frame);
  else
    fprintf(stdout, "\r %s      \r", frame);
  s_spinnerFrame = (s_spinnerFrame + 1) & 7;
}

void CLI_Display::info_message(const char* text)
{
  fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
  fprintf(stderr, "%s\n", text);
}
