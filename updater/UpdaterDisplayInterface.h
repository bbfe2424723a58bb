#pragma once
// The sink for everything the updater tells its user: messages, a progress
// bar and a spinner. Flows receive it by reference and never own it.

class UpdaterDisplayInterface {
 public:
  enum Level {
    LEVEL_INFO = 0,
    LEVEL_ERROR = 1,
  };

  UpdaterDisplayInterface() : muted(false) {}

  virtual void display_progress(bool on) = 0;
  // fraction runs from 0 to 1; label may be null.
  virtual void update_progress(double fraction, const char* label) = 0;
  // on draws the next frame (label may be null); off clears it.
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats into 2048 bytes (cut to 2047 characters) and hands the text to
  // error_message for LEVEL_ERROR, to info_message for any other level.
  // Does nothing while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // While muted only message() is silent; the five operations still act.
  void mute_messages(bool mute) { muted = mute; }

 protected:
  // Not deleted through this interface, so no virtual destructor.
  ~UpdaterDisplayInterface() = default;

  bool muted;
};
