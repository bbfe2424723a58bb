#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempDir.h"
#include "aDirectory.h"
#include "aDirectorySeam.h"

namespace fs = std::filesystem;

namespace {

// Builds with every part list padded by null pointers; the builder stops at
// the first one, so lists of any length up to eleven can come from a table.
aErr sBuild(char* buf, size_t size, const std::vector<const char*>& parts) {
  std::array<const char*, 12> p{};
  for (size_t i = 0; i < parts.size() && i < p.size() - 1; ++i) p[i] = parts[i];
  return aDirectory_BuildPath(buf, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                              p[9], p[10], p[11]);
}

struct BuildCase {
  const char* label;
  std::vector<const char*> parts;
  size_t size;
  aErr err;
  const char* result;
};

class BuildPath : public ::testing::TestWithParam<BuildCase> {};

// The buffer is a heap block of exactly `size` bytes, so a write past its end
// is caught by the address sanitizer.
TEST_P(BuildPath, Joins) {
  const BuildCase& c = GetParam();
  std::unique_ptr<char[]> buf(new char[c.size]);
  memset(buf.get(), 'x', c.size);
  EXPECT_EQ(c.err, sBuild(buf.get(), c.size, c.parts));
  EXPECT_STREQ(c.result, buf.get());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildPath,
    ::testing::Values(
        BuildCase{"Plain", {"a", "b"}, 64, aErrNone, "a/b"},
        BuildCase{"FirstEndsWithSep", {"a/", "b"}, 64, aErrNone, "a/b"},
        BuildCase{"SecondStartsWithSep", {"a", "/b"}, 64, aErrNone, "a/b"},
        BuildCase{"BothSidesKeepSep", {"a/", "/b"}, 64, aErrNone, "a//b"},
        BuildCase{"EmptyFurtherPart", {"a", ""}, 64, aErrNone, "a/"},
        BuildCase{"SinglePartFits", {"abcd"}, 6, aErrNone, "abcd"},
        BuildCase{"SinglePartOverruns", {"abcde"}, 6, aErrOverrun, ""},
        BuildCase{"SecondPartFits", {"ab", "c"}, 6, aErrNone, "ab/c"},
        BuildCase{"SecondPartOverrunsAfterSep", {"ab", "cd"}, 6, aErrOverrun, "ab/"},
        BuildCase{"NoRoomForSep", {"abc", "d"}, 5, aErrOverrun, "abc"},
        BuildCase{"SizeOne", {"a"}, 1, aErrOverrun, ""},
        BuildCase{"TenParts", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 64, aErrNone,
                  "0/1/2/3/4/5/6/7/8/9"},
        BuildCase{"ElevenParts", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 64,
                  aErrParam, ""},
        BuildCase{"EmptyFirstPart", {"", "b"}, 64, aErrParam, ""},
        BuildCase{"NullFirstPart", {}, 64, aErrParam, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BuildPathBuffer, ZeroSizeWritesNothing) {
  char canary = 'x';
  EXPECT_EQ(aErrParam, aDirectory_BuildPath(&canary, 0, "a", "b", nullptr));
  EXPECT_EQ('x', canary);
  EXPECT_EQ(aErrParam, aDirectory_JoinPath(&canary, 0, "a", "b"));
  EXPECT_EQ('x', canary);
  EXPECT_EQ(aErrParam, aDirectory_BuildPath(nullptr, 8, "a", nullptr));
}

constexpr int OUTSIDE = -1;     // a text apart from the buffer
constexpr int RUNS_INTO = -2;   // a text that begins before the buffer and runs on into it

struct OverlapCase {
  const char* label;
  int firstAt;  // offset of the first part in the buffer, or one of the above
  int secondAt;
};

class BuildPathOverlap : public ::testing::TestWithParam<OverlapCase> {};

// A part read from the very buffer being written would be overwritten while
// it is copied; every such call is refused and leaves the buffer empty.
TEST_P(BuildPathOverlap, Refused) {
  const OverlapCase& c = GetParam();
  char storage[48];
  memset(storage, 'o', 16);
  char* buf = storage + 16;
  const size_t size = 32;
  strcpy(buf, "abc/def/ghi");
  const auto part = [&](int at) -> const char* {
    if (at == OUTSIDE) return "zz";
    if (at == RUNS_INTO) return storage;
    return buf + at;
  };
  EXPECT_EQ(aErrParam, aDirectory_JoinPath(buf, size, part(c.firstAt), part(c.secondAt)));
  EXPECT_STREQ("", buf);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildPathOverlap,
    ::testing::Values(OverlapCase{"FirstIsBuffer", 0, OUTSIDE},
                      OverlapCase{"SecondIsBuffer", OUTSIDE, 0},
                      OverlapCase{"SecondInsideBuffer", OUTSIDE, 4},
                      OverlapCase{"FirstRunsIntoBuffer", RUNS_INTO, OUTSIDE}),
    [](const auto& info) { return std::string(info.param.label); });

using TempTree = TempDirTest;
using EnsureTest = TempTree;

struct EnsureCase {
  const char* label;
  std::vector<std::string> files;  // regular files made first
  std::string target;
  aErr err;
  std::vector<std::string> dirs;  // directories that must exist afterwards
};

class Ensure : public TempTree, public ::testing::WithParamInterface<EnsureCase> {};

TEST_P(Ensure, CreatesMissingLevels) {
  const EnsureCase& c = GetParam();
  for (const std::string& f : c.files) make(f, "x");
  EXPECT_EQ(c.err, aDirectory_Ensure(path(c.target).c_str(), 0755));
  for (const std::string& d : c.dirs) EXPECT_TRUE(fs::is_directory(path(d))) << d;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ensure,
    ::testing::Values(EnsureCase{"Existing", {}, "", aErrNone, {""}},
                      EnsureCase{"ThreeLevels", {}, "a/b/c", aErrNone, {"a", "a/b", "a/b/c"}},
                      EnsureCase{"TrailingSeparator", {}, "a/b/", aErrNone, {"a", "a/b"}},
                      EnsureCase{"DoubledSeparator", {}, "a//b", aErrNone, {"a", "a/b"}},
                      EnsureCase{"FileAtWholePath", {"f"}, "f", aErrNone, {}},
                      EnsureCase{"FileAtIntermediateLevel", {"f"}, "f/g/h", aErrPermission, {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(EnsureTest, RelativePathFromWorkingDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  const aErr err = aDirectory_Ensure("a/b/c", 0755);
  fs::current_path(previous);
  EXPECT_EQ(aErrNone, err);
  EXPECT_TRUE(fs::is_directory(path("a/b/c")));
}

TEST_F(EnsureTest, ModeIsApplied) {
  const mode_t old = umask(0);
  EXPECT_EQ(aErrNone, aDirectory_Ensure(path("m/n").c_str(), 0700));
  umask(old);
  EXPECT_EQ(fs::perms::owner_all, fs::status(path("m")).permissions());
  EXPECT_EQ(fs::perms::owner_all, fs::status(path("m/n")).permissions());
}

TEST(EnsureArgs, NullAndEmptyRefused) {
  EXPECT_EQ(aErrParam, aDirectory_Ensure(nullptr, 0755));
  EXPECT_EQ(aErrParam, aDirectory_Ensure("", 0755));
}

struct Listed {
  uint32_t size;
  int32_t isDirectory;
};

bool sCollect(const aDirectoryListData* data, void* ref) {
  auto* seen = static_cast<std::map<std::string, Listed>*>(ref);
  (*seen)[fs::path(data->path).filename().string()] = Listed{data->size, data->isDirectory};
  return true;
}

bool sStopAtOnce(const aDirectoryListData*, void* ref) {
  ++*static_cast<int*>(ref);
  return false;
}

// A tree holding a file, a subdirectory, a link to a file outside the tree, a
// link to a directory outside it and a dangling link.
class LinkedTree : public TempTree {
 protected:
  void SetUp() override {
    TempTree::SetUp();
    ASSERT_EQ(0, mkdir(path("outside").c_str(), 0755));
    make("outside/keep.txt", "outside data");
    ASSERT_EQ(0, mkdir(path("tree").c_str(), 0755));
    make("tree/file.txt", "12345");
    ASSERT_EQ(0, mkdir(path("tree/sub").c_str(), 0755));
    make("tree/sub/deep.txt", "x");
    fs::create_symlink(path("outside/keep.txt"), path("tree/file-link"));
    fs::create_directory_symlink(path("outside"), path("tree/sub/dir-link"));
    fs::create_symlink(path("nowhere"), path("tree/dangling"));
  }
};

TEST_F(LinkedTree, ListFollowsLinksAndSkipsUnreadable) {
  std::map<std::string, Listed> seen;
  EXPECT_EQ(aErrNone, aDirectory_List(path("tree").c_str(), sCollect, &seen));
  ASSERT_EQ(5u, seen.size());  // ".", "..", file, subdirectory, file link; not the dangling one
  EXPECT_EQ(1, seen["."].isDirectory);
  EXPECT_EQ(1, seen[".."].isDirectory);
  EXPECT_EQ(0, seen["file.txt"].isDirectory);
  EXPECT_EQ(5u, seen["file.txt"].size);
  EXPECT_EQ(1, seen["sub"].isDirectory);
  EXPECT_EQ(12u, seen["file-link"].size);
  EXPECT_EQ(0u, seen.count("dangling"));
}

TEST_F(LinkedTree, ListStopsWhenCallbackSaysSo) {
  int calls = 0;
  EXPECT_EQ(aErrNone, aDirectory_List(path("tree").c_str(), sStopAtOnce, &calls));
  EXPECT_EQ(1, calls);
}

TEST_F(LinkedTree, ListMissingDirectory) {
  int calls = 0;
  EXPECT_EQ(aErrNotFound, aDirectory_List(path("missing").c_str(), sStopAtOnce, &calls));
  EXPECT_EQ(0, calls);
  EXPECT_EQ(aErrParam, aDirectory_List(path("tree").c_str(), nullptr, nullptr));
}

TEST_F(LinkedTree, DeleteTreeRemovesLinksNotTheirTargets) {
  EXPECT_EQ(aErrNone, aDirectory_DeleteTree(path("tree").c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
  EXPECT_TRUE(fs::is_regular_file(path("outside/keep.txt")));
  std::ifstream kept(path("outside/keep.txt"));
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ("outside data", text);
}

// While the walk is inside tree/sub, tree/sub is swapped for a link to a
// directory outside that holds files of the same names: at its first
// removal, before anything is removed. The rest of the walk must stay in
// the directory it opened.
class SwappedTree : public TempTree {
 protected:
  static constexpr int kFiles = 5;

  void SetUp() override {
    TempTree::SetUp();
    for (const char* dir : {"outside", "tree", "tree/sub"}) ASSERT_EQ(0, mkdir(path(dir).c_str(), 0755));
    for (int i = 0; i < kFiles; ++i) {
      make("tree/sub/f" + std::to_string(i), "inside");
      make("outside/f" + std::to_string(i), "outside");
    }
    sCurrent = this;
    m_previous = aDirectorySeam_Install(&kSeam);
  }
  void TearDown() override {
    aDirectorySeam_Install(m_previous);
    sCurrent = nullptr;
    TempTree::TearDown();
  }

  static int sUnlinkAt(int dirfd, const char* name, int flags) {
    SwappedTree& t = *sCurrent;
    if (!t.m_swapped) {
      t.m_swapped = true;
      rename(t.path("tree/sub").c_str(), t.path("tree/moved").c_str());
      symlink(t.path("outside").c_str(), t.path("tree/sub").c_str());
    }
    return aDirectorySeam_System.unlinkat(dirfd, name, flags);
  }

  static inline SwappedTree* sCurrent = nullptr;
  static constexpr aDirectorySeam kSeam = {sUnlinkAt};
  const aDirectorySeam* m_previous = nullptr;
  bool m_swapped = false;
};

TEST_F(SwappedTree, DeleteTreeStaysInTheDirectoryItOpened) {
  aDirectory_DeleteTree(path("tree").c_str());
  ASSERT_TRUE(m_swapped);
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ("outside", contents("outside/f" + std::to_string(i))) << i;
  EXPECT_TRUE(fs::is_empty(path("tree/moved")));
}

TEST_F(LinkedTree, DeleteTreeMissingAndNull) {
  EXPECT_EQ(aErrNotFound, aDirectory_DeleteTree(path("missing").c_str()));
  EXPECT_EQ(aErrParam, aDirectory_DeleteTree(nullptr));
}

TEST_F(LinkedTree, DeleteRemovesOnlyEmptyDirectories) {
  EXPECT_EQ(aErrUnknown, aDirectory_Delete(path("tree").c_str()));
  EXPECT_TRUE(fs::is_directory(path("tree")));
  ASSERT_EQ(0, mkdir(path("empty").c_str(), 0755));
  EXPECT_EQ(aErrNone, aDirectory_Delete(path("empty").c_str()));
  EXPECT_FALSE(fs::exists(path("empty")));
}

// Entries whose full path exceeds the working buffer are never removed under
// a cut name; the tree is then reported as not deleted.
TEST_F(TempTree, DeleteTreeLeavesTooLongPathsAlone) {
  const std::string level(200, 'd');
  const std::string top = path("long");
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_NE(-1, fd);
  for (int i = 0; i < 11; ++i) {  // about 2200 characters below the top
    ASSERT_EQ(0, mkdirat(fd, level.c_str(), 0755));
    const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_NE(-1, next);
    fd = next;
  }
  const int file = openat(fd, "bottom", O_CREAT | O_WRONLY, 0644);
  ASSERT_NE(-1, file);
  close(file);

  EXPECT_EQ(aErrUnknown, aDirectory_DeleteTree(top.c_str()));
  EXPECT_EQ(0, faccessat(fd, "bottom", F_OK, 0));
  close(fd);
}

TEST(WorkingDirectory, MatchesSystemAndRefusesSmallBuffers) {
  char buf[4096];
  ASSERT_EQ(aErrNone, aDirectory_CWD(buf, sizeof(buf)));
  EXPECT_EQ(fs::current_path().string(), buf);
  const size_t exact = strlen(buf) + 1;
  std::unique_ptr<char[]> small(new char[exact - 1]);
  EXPECT_EQ(aErrParam, aDirectory_CWD(small.get(), exact - 1));
  std::unique_ptr<char[]> fits(new char[exact]);
  EXPECT_EQ(aErrNone, aDirectory_CWD(fits.get(), exact));
  EXPECT_EQ(aErrParam, aDirectory_CWD(buf, 0));
  EXPECT_EQ(aErrParam, aDirectory_CWD(nullptr, 16));
}

TEST(ExecutablePath, WholeAndCut) {
  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  char buf[4096];
  ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(buf, sizeof(buf)));
  EXPECT_EQ(exe, buf);
  std::unique_ptr<char[]> cut(new char[6]);
  ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(cut.get(), 6));
  EXPECT_EQ(exe.substr(0, 5), cut.get());
  EXPECT_EQ(aErrParam, aDirectory_ExecutableFilePath(buf, 0));
}

TEST(HomeDirectory, FromUserDatabaseCutToBuffer) {
  char buf[2048];
  ASSERT_EQ(aErrNone, aDirectory_GetHomeDirectory(buf, sizeof(buf)));
  EXPECT_GT(strlen(buf), 0u);
  const std::string whole = buf;
  std::unique_ptr<char[]> cut(new char[2]);
  ASSERT_EQ(aErrNone, aDirectory_GetHomeDirectory(cut.get(), 2));
  EXPECT_EQ(whole.substr(0, 1), cut.get());
  EXPECT_EQ(aErrParam, aDirectory_GetHomeDirectory(buf, 0));
}

struct HomeCase {
  const char* label;
  const char* home;  // HOME for the child, or null to unset it
  aErr err;
  const char* result;
};

class HomeWithoutUserEntry : public ::testing::TestWithParam<HomeCase> {};

// Runs the lookup in a child that has switched to a user id with no
// user-database entry; the child reports through its exit status.
TEST_P(HomeWithoutUserEntry, FallsBackToHomeOrFails) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take a user id without an entry";
  const HomeCase& c = GetParam();
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    if (setgid(54321) != 0 || setuid(54321) != 0) _exit(100);
    if (c.home != nullptr) {
      setenv("HOME", c.home, 1);
    } else {
      unsetenv("HOME");
    }
    char buf[64];
    memset(buf, 'x', sizeof(buf));
    const aErr err = aDirectory_GetHomeDirectory(buf, sizeof(buf));
    if (err != c.err) _exit(101);
    if (strcmp(buf, c.result) != 0) _exit(102);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "100 setuid, 101 result, 102 text";
}

INSTANTIATE_TEST_SUITE_P(Cases, HomeWithoutUserEntry,
                         ::testing::Values(HomeCase{"HomeSet", "/srv/somebody", aErrNone,
                                                    "/srv/somebody"},
                                           HomeCase{"HomeUnset", nullptr, aErrNotFound, ""}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
