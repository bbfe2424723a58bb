#pragma once
// Helpers shared by the updater application tests.

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "UpdaterDisplayInterface.h"

// A writable argv, as the option matcher reorders and edits it in place.
class Argv {
public:
  Argv(std::initializer_list<const char*> words);
  explicit Argv(const std::vector<std::string>& words);
  int argc() const { return static_cast<int>(ptrs_.size()) - 1; }
  char** argv() { return ptrs_.data(); }
  std::vector<std::string> words() const;

private:
  void build(const std::vector<std::string>& words);
  std::vector<std::vector<char>> storage_;
  std::vector<char*> ptrs_;
};

// Keeps every message and counts the drawing calls.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override { ++drawCalls; }
  void update_progress(double, const char*) override { ++drawCalls; }
  void update_spinner(bool, const char*) override { ++drawCalls; }
  void info_message(const char* text) override { lines.emplace_back(LEVEL_INFO, text); }
  void error_message(const char* text) override { lines.emplace_back(LEVEL_ERROR, text); }

  std::vector<std::string> infos() const { return at(LEVEL_INFO); }
  std::vector<std::string> errors() const { return at(LEVEL_ERROR); }
  std::vector<std::string> at(Level level) const;

  std::vector<std::pair<Level, std::string>> lines;
  int drawCalls = 0;
};

std::string ReadFile(const std::string& path);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// A copy of the built updater in a fresh directory every user may enter, for
// runs as another user: the build tree may sit where only its owner can go
// (a home directory, a mktemp -d directory). whyNot() is empty when the copy
// can be run by anyone, else the reason it cannot.
class ReachableUpdater {
public:
  ReachableUpdater();
  const std::string& path() const { return path_; }
  const std::string& whyNot() const { return whyNot_; }

private:
  TempDir dir_;
  std::string path_;
  std::string whyNot_;
};
