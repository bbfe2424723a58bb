#pragma once
// Helpers shared by the BIRD file and local store tests: a private
// directory per test and a capture of the diagnostic log.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Log.h"

class ScratchDirTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    char pattern[] = "/tmp/bird-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
  }
  void TearDown() override
  {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  std::string write(const std::string& rel, const std::string& content) const
  {
    std::filesystem::create_directories(std::filesystem::path(path(rel)).parent_path());
    std::ofstream(path(rel), std::ios::binary) << content;
    return path(rel);
  }
  std::string write(const std::string& rel, const std::vector<uint8_t>& bytes) const
  {
    return write(rel, std::string(bytes.begin(), bytes.end()));
  }
  static std::string contents(const std::string& fullPath)
  {
    std::ifstream in(fullPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Every path below the directory with its content ("/" for directories,
  // "-> target" for links, "|" for anything else that is no regular file),
  // to show that an operation wrote nothing.
  std::vector<std::pair<std::string, std::string>> snapshot() const
  {
    std::vector<std::pair<std::string, std::string>> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
      std::error_code ec;
      std::string what;
      if (e.is_symlink(ec))
        what = "-> " + std::filesystem::read_symlink(e.path(), ec).string();
      else if (e.is_directory(ec))
        what = "/";
      else if (!e.is_regular_file(ec))
        what = "|";  // a FIFO or a device: reading it could wait for ever
      else
        what = contents(e.path().string());
      all.emplace_back(e.path().string(), what);
    }
    std::sort(all.begin(), all.end());
    return all;
  }

  std::string root_;
};

// Routes the diagnostic log of the given packages into memory while alive.
class LogCapture {
public:
  explicit LogCapture(uint32_t packages) : packages_(packages), saved_(Log::fh)
  {
    file_ = std::tmpfile();
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
  }
  ~LogCapture()
  {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(saved_);
    std::fclose(file_);
  }
  std::string text() const
  {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    int c;
    while ((c = std::fgetc(file_)) != EOF)
      out.push_back(char(c));
    std::fseek(file_, 0, SEEK_END);
    return out;
  }
  bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
  uint32_t packages_;
  FILE* saved_;
  FILE* file_;
};
