// The shipped executable, run as a user would.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the updater with its standard output and error in files (not a
// terminal).
Result RunUpdater(const std::vector<std::string>& words, void (*inChild)() = nullptr,
                  const std::string& program = std::string(JV_BINARY_DIR) + "/updater")
{
  TempDir dir;
  const std::string outPath = dir.path() + "/out", errPath = dir.path() + "/err";
  std::vector<std::string> all = {program};
  all.insert(all.end(), words.begin(), words.end());
  Argv args(all);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (inChild)
      inChild();
    execv(args.argv()[0], args.argv());
    _exit(127);
  }
  Result r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFile(outPath);
  r.err = ReadFile(errPath);
  return r;
}

std::string Golden(const char* name)
{
  return ReadFile(std::string(JV_SOURCE_DIR) + "/tests/app/data/" + name);
}

const std::string kVersionLine = "Updater (Version: 2.11.5 Oct 13 2025)\n";
const std::string kRightsLine = "Copyright (c) the Jorvanite updater authors.\n";

TEST(Binary, NoArgumentsShowsShortUsage)
{
  Result r = RunUpdater({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersionLine + kRightsLine, r.out);
  EXPECT_EQ(Golden("usage_short.txt"), r.err);
}

TEST(Binary, RefusedSerialNumber)
{
  Result r = RunUpdater({"-d", "12G4", "-U"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kVersionLine + kRightsLine, r.out);
  EXPECT_EQ("Invalid serial number obtained from argument [12G4]\n" + Golden("usage_short.txt"), r.err);
}

// A word the updater does not know ends the run before anything runs, with
// the word named and the short usage: a script must not read success.
TEST(Binary, UnknownWordsAreRefused)
{
  struct {
    std::vector<std::string> words;
    std::string error;
  } cases[] = {
      {{"-Ud", "40F5849A"}, "Unknown option: [-Ud]\nNot an option: [40F5849A]\n"},
      {{"--update", "-d", "40F5849A"}, "Unknown option: [--update]\n"},
      {{"-U", "-d", "40F5849A", "-f"}, "Option [-f] needs a value\n"},
      {{"-G", "-d", "40F5849A", "latest"}, "Not an option: [latest]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0]);
    TempDir store;
    std::vector<std::string> words = c.words;
    words.insert(words.begin(), {"-i", store.path()});
    Result r = RunUpdater(words);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kVersionLine + kRightsLine, r.out);
    EXPECT_EQ(c.error + Golden("usage_short.txt"), r.err);
    EXPECT_TRUE(std::filesystem::is_empty(store.path())) << "the run went on";
  }
}

// Help asked for anywhere still wins over a word the updater does not know.
TEST(Binary, HelpWinsOverUnknownWords)
{
  Result r = RunUpdater({"-Ud", "-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Unknown option: [-Ud]\n" + Golden("usage_full.txt"), r.err);
}

TEST(Binary, FullHelp)
{
  Result r = RunUpdater({"--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersionLine + kRightsLine, r.out);
  EXPECT_EQ(Golden("usage_full.txt"), r.err);
}

TEST(Binary, AppLogAndStoreDirectory)
{
  TempDir base;
  Result r = RunUpdater({"-X", "0x10000", "-I", "-i", base.path()});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersionLine, r.out);
  EXPECT_EQ("\nApplication parameters:[updater]\n\t[" + std::string(JV_BINARY_DIR) + "/updater]\n\t[-X]\n\t[0x10000]\n"
            "\t[-I]\n\t[-i]\n\t[" + base.path() + "]\n",
            r.err);
  EXPECT_TRUE(std::filesystem::is_directory(base.path() + "/updater"));
}

// A user the user database does not know, with no HOME: the run stops with a
// message saying why instead of failing silently.
TEST(Binary, NoHomeDirectorySaysSo)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run as a user without a user-database entry";
  ReachableUpdater updater;
  if (!updater.whyNot().empty())
    GTEST_SKIP() << updater.whyNot();
  Result r = RunUpdater({"-L", "-d", "12345678"}, [] {
    unsetenv("HOME");
    if (setresgid(54321, 54321, 54321) != 0 || setresuid(54321, 54321, 54321) != 0)
      _exit(126);
  }, updater.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("home directory")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("-i")) << r.err;
}

} // namespace
