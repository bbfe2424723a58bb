#pragma once
// A private temporary directory per test, removed with everything in it
// afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/plat-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  // Writes content to rel and returns the full path.
  std::string make(const std::string& rel, const std::string& content) const {
    std::ofstream(path(rel), std::ios::binary) << content;
    return path(rel);
  }
  std::string contents(const std::string& rel) const {
    std::ifstream in(path(rel), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string root_;
};
