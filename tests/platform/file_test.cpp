#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TempDir.h"
#include "aFile.h"

namespace fs = std::filesystem;

namespace {

using FileTest = TempDirTest;

TEST_F(FileTest, OpenRefusesBadArguments) {
  EXPECT_EQ(nullptr, aFile_Open(nullptr, aFileModeRead));
  EXPECT_EQ(nullptr, aFile_Open("", aFileModeRead));
  EXPECT_EQ(nullptr, aFile_Open(path("missing").c_str(), aFileModeRead));
  EXPECT_EQ(nullptr, aFile_Open(make("f", "x").c_str(), 3));
  EXPECT_EQ(nullptr, aFile_Open(std::string(4097, 'a').c_str(), aFileModeWrite));
}

struct LengthCase {
  size_t length;
  aErr deleteErr;
};

class PathLength : public ::testing::TestWithParam<LengthCase> {};

// 4096 characters is the longest path taken; it reaches the system (which
// does not find it) instead of being refused for its length.
TEST_P(PathLength, Limit) {
  const std::string longPath = "/" + std::string(GetParam().length - 1, 'a');
  EXPECT_EQ(GetParam().deleteErr, aFile_Delete(longPath.c_str()));
  EXPECT_FALSE(aFile_Exists(longPath.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Lengths, PathLength,
                         ::testing::Values(LengthCase{4096, aErrIO},
                                           LengthCase{4097, aErrFileNameLength}));

TEST_F(FileTest, Exists) {
  EXPECT_TRUE(aFile_Exists(make("f", "x").c_str()));
  EXPECT_FALSE(aFile_Exists(root_.c_str()));
  EXPECT_FALSE(aFile_Exists(path("missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, AppendModeStartsAtEndAndReadsAfterSeek) {
  aFile* file = aFile_Open(make("f", "abc").c_str(), aFileModeAppend);
  ASSERT_NE(nullptr, file);
  uint64_t position = 99;
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(3u, position);
  char buf[8] = {};
  size_t n = 99;
  EXPECT_EQ(aErrEOF, aFile_Read(file, buf, sizeof(buf), &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(aErrNone, aFile_Seek(file, 0, 0));
  EXPECT_EQ(aErrNone, aFile_Read(file, buf, 2, &n));
  EXPECT_EQ("ab", std::string(buf, n));
  // A write after a read still goes to the end, and the read continues after.
  EXPECT_EQ(aErrNone, aFile_Write(file, "de", 2, &n));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(aErrNone, aFile_Seek(file, 0, 0));
  EXPECT_EQ(aErrNone, aFile_Read(file, buf, sizeof(buf), &n));
  EXPECT_EQ("abcde", std::string(buf, n));
  EXPECT_EQ(aErrNone, aFile_Close(&file));
  EXPECT_EQ("abcde", contents("f"));
}

TEST_F(FileTest, ReadCountsAndEnd) {
  aFile* file = aFile_Open(make("f", "1234").c_str(), aFileModeRead);
  ASSERT_NE(nullptr, file);
  char buf[10];
  size_t n = 99;
  EXPECT_EQ(aErrNone, aFile_Read(file, buf, 0, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(aErrNone, aFile_Read(file, buf, sizeof(buf), &n));
  EXPECT_EQ(4u, n);
  EXPECT_EQ(aErrEOF, aFile_Read(file, buf, sizeof(buf), &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(aErrParam, aFile_Read(file, nullptr, 1, nullptr));
  EXPECT_EQ(aErrNone, aFile_Close(&file));
}

struct ModeCase {
  const char* label;
  uint32_t mode;
  aErr read, readLine, write, printf, unbuffered;
};

class ModeRules : public FileTest, public ::testing::WithParamInterface<ModeCase> {};

// Each operation refused by a mode changes nothing in the file.
TEST_P(ModeRules, AllowedOperations) {
  const ModeCase& c = GetParam();
  aFile* file = aFile_Open(make("f", "line\n").c_str(), c.mode);
  ASSERT_NE(nullptr, file);
  char buf[16];
  EXPECT_EQ(c.write, aFile_Write(file, "W", 1, nullptr));
  EXPECT_EQ(c.printf, aFile_Printf(file, "%d", 7));
  EXPECT_EQ(c.unbuffered, aFile_SetUnbuffered(file));
  EXPECT_EQ(aErrNone, aFile_Seek(file, 0, 0));
  EXPECT_EQ(c.readLine, aFile_ReadLine(file, buf, sizeof(buf), nullptr));
  EXPECT_EQ(c.read, aFile_Read(file, buf, 1, nullptr));
  EXPECT_EQ(aErrNone, aFile_Close(&file));
  if (c.mode == aFileModeRead) {
    EXPECT_EQ("line\n", contents("f"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeRules,
    // In read mode the line read leaves nothing behind it.
    ::testing::Values(ModeCase{"Read", aFileModeRead, aErrEOF, aErrNone, aErrMode, aErrMode,
                               aErrMode},
                      ModeCase{"Write", aFileModeWrite, aErrMode, aErrMode, aErrNone, aErrNone,
                               aErrNone},
                      // "line\nW7": the line, then "W" remains to be read.
                      ModeCase{"Append", aFileModeAppend, aErrNone, aErrNone, aErrNone, aErrNone,
                               aErrNone}),
    [](const auto& info) { return std::string(info.param.label); });

struct Line {
  aErr err;
  std::string text;
};

struct ReadLineCase {
  const char* label;
  std::string content;
  size_t size;
  std::vector<Line> lines;  // the results of successive calls
};

class ReadLine : public FileTest, public ::testing::WithParamInterface<ReadLineCase> {};

// The buffer is a heap block of exactly `size` bytes so that the address
// sanitizer sees any write beyond it.
TEST_P(ReadLine, Sequence) {
  const ReadLineCase& c = GetParam();
  aFile* file = aFile_Open(make("f", c.content).c_str(), aFileModeRead);
  ASSERT_NE(nullptr, file);
  std::unique_ptr<char[]> buf(new char[c.size == 0 ? 1 : c.size]);
  for (size_t i = 0; i < c.lines.size(); ++i) {
    if (c.size > 0) memset(buf.get(), 'x', c.size);
    size_t length = 99;
    EXPECT_EQ(c.lines[i].err, aFile_ReadLine(file, buf.get(), c.size, &length)) << "call " << i;
    EXPECT_EQ(c.lines[i].text.size(), length) << "call " << i;
    if (c.size > 0) {
      EXPECT_EQ(c.lines[i].text, std::string(buf.get(), length)) << "call " << i;
      EXPECT_EQ('\0', buf[length]) << "call " << i;
    }
  }
  EXPECT_EQ(aErrNone, aFile_Close(&file));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadLine,
    ::testing::Values(
        ReadLineCase{"LongLineSplits",
                     "abcd\nabcdefgh\n",
                     6,
                     {{aErrNone, "abcd\n"},
                      {aErrOverrun, "abcde"},
                      {aErrNone, "fgh\n"},
                      {aErrEOF, ""}}},
        ReadLineCase{"LastLineWithoutNewline", "one\ntwo", 16,
                     {{aErrNone, "one\n"}, {aErrNone, "two"}, {aErrEOF, ""}}},
        ReadLineCase{"EmptyLines", "\n\n", 4, {{aErrNone, "\n"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
        ReadLineCase{"EmptyFile", "", 8, {{aErrEOF, ""}}},
        ReadLineCase{"EmbeddedNulCounted", std::string("a\0b\n", 4), 8,
                     {{aErrNone, std::string("a\0b\n", 4)}}},
        ReadLineCase{"SizeTwoOneCharacterPerCall", "ab\n", 2,
                     {{aErrOverrun, "a"}, {aErrOverrun, "b"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
        ReadLineCase{"SizeOneHasNoRoom", "ab\n", 1, {{aErrParam, ""}, {aErrParam, ""}}},
        ReadLineCase{"SizeZeroHasNoRoom", "ab\n", 0, {{aErrParam, ""}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(FileTest, ReadLineSizeZeroTouchesNothing) {
  aFile* file = aFile_Open(make("f", "ab\n").c_str(), aFileModeRead);
  ASSERT_NE(nullptr, file);
  char canary = 'x';
  EXPECT_EQ(aErrParam, aFile_ReadLine(file, &canary, 0, nullptr));
  EXPECT_EQ('x', canary);
  char buf[8];
  size_t length = 0;
  EXPECT_EQ(aErrNone, aFile_ReadLine(file, buf, sizeof(buf), &length));  // nothing was consumed
  EXPECT_EQ(3u, length);
  EXPECT_EQ(aErrNone, aFile_Close(&file));
}

struct SeekCase {
  const char* label;
  int64_t offset;
  uint32_t origin;
  aErr err;
  uint64_t position;  // after the call; the start position is 4
};

class Seek : public FileTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(Seek, Targets) {
  const SeekCase& c = GetParam();
  aFile* file = aFile_Open(make("f", "0123456789").c_str(), aFileModeRead);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(aErrNone, aFile_Seek(file, 4, 0));
  EXPECT_EQ(c.err, aFile_Seek(file, c.offset, c.origin));
  uint64_t position = 99;
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(c.position, position);
  EXPECT_EQ(aErrNone, aFile_Close(&file));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Seek,
    ::testing::Values(SeekCase{"ToSize", 10, 0, aErrNone, 10},
                      SeekCase{"BeyondSize", 11, 0, aErrRange, 4},
                      SeekCase{"BackFromCurrent", -3, 1, aErrNone, 1},
                      SeekCase{"BelowStart", -5, 1, aErrRange, 4},
                      SeekCase{"FromEnd", -10, 2, aErrNone, 0},
                      SeekCase{"UnknownOriginIsStart", 7, 9, aErrNone, 7},
                      SeekCase{"OffsetOverflow", INT64_MAX, 1, aErrRange, 4}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(FileTest, SizeKeepsPosition) {
  aFile* file = aFile_Open(make("f", "0123456789").c_str(), aFileModeRead);
  ASSERT_NE(nullptr, file);
  uint64_t position = 99;
  EXPECT_EQ(aErrNone, aFile_GetPosition(file, &position));
  EXPECT_EQ(0u, position);
  ASSERT_EQ(aErrNone, aFile_Seek(file, 3, 0));
  uint64_t size = 0;
  EXPECT_EQ(aErrNone, aFile_GetSize(file, &size));
  EXPECT_EQ(10u, size);
  char c = 0;
  EXPECT_EQ(aErrNone, aFile_Read(file, &c, 1, nullptr));
  EXPECT_EQ('3', c);
  EXPECT_EQ(aErrParam, aFile_GetSize(file, nullptr));
  EXPECT_EQ(aErrNone, aFile_Close(&file));
}

TEST_F(FileTest, CloseNullsHandleAndRefusesTwice) {
  aFile* file = aFile_Open(path("new").c_str(), aFileModeWrite);
  ASSERT_NE(nullptr, file);
  EXPECT_TRUE(aVALIDFILE(file));
  EXPECT_EQ(aErrNone, aFile_Printf(file, "%s=%d\n", "key", 42));
  EXPECT_EQ(aErrNone, aFile_Close(&file));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(aErrParam, aFile_Close(&file));
  EXPECT_EQ(aErrParam, aFile_Close(nullptr));
  EXPECT_FALSE(aVALIDFILE(nullptr));
  EXPECT_EQ("key=42\n", contents("new"));
}

TEST_F(FileTest, InvalidHandleRefusedEverywhere) {
  aFile* none = nullptr;
  char buf[4];
  uint64_t value = 0;
  EXPECT_EQ(aErrParam, aFile_Read(none, buf, 1, nullptr));
  EXPECT_EQ(aErrParam, aFile_Write(none, buf, 1, nullptr));
  EXPECT_EQ(aErrParam, aFile_ReadLine(none, buf, sizeof(buf), nullptr));
  EXPECT_EQ(aErrParam, aFile_Seek(none, 0, 0));
  EXPECT_EQ(aErrParam, aFile_GetSize(none, &value));
  EXPECT_EQ(aErrParam, aFile_GetPosition(none, &value));
  EXPECT_EQ(aErrParam, aFile_SetUnbuffered(none));
  EXPECT_EQ(aErrParam, aFile_Printf(none, "x"));
}

struct FullDiskCase {
  const char* label;
  bool unbuffered;
  size_t count;
  aErr write;
  bool allTaken;  // the write took every byte (into the stream's buffer)
  aErr close;
};

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

// Data that never reached the disk must be reported, whether the write
// itself fails or only the final flush at close.
TEST_P(FullDisk, Reported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const FullDiskCase& c = GetParam();
  aFile* file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(nullptr, file);
  if (c.unbuffered) {
    ASSERT_EQ(aErrNone, aFile_SetUnbuffered(file));
  }
  const std::vector<char> data(c.count, 'z');
  size_t written = 99;
  EXPECT_EQ(c.write, aFile_Write(file, data.data(), data.size(), &written));
  EXPECT_EQ(c.allTaken, written == c.count);
  EXPECT_EQ(c.close, aFile_Close(&file));
  EXPECT_EQ(nullptr, file);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullDisk,
    ::testing::Values(FullDiskCase{"UnbufferedWrite", true, 10, aErrIO, false, aErrIO},
                      FullDiskCase{"LargeBufferedWrite", false, 1 << 20, aErrIO, false, aErrIO},
                      FullDiskCase{"SmallWriteFailsAtClose", false, 10, aErrNone, true, aErrIO}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(FullDiskPrintf, Reported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  aFile* file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(aErrNone, aFile_SetUnbuffered(file));
  EXPECT_EQ(aErrIO, aFile_Printf(file, "%s", "text"));
  aFile_Close(&file);
}

// Buffered data lost when a read or a seek flushes it on the way (not only
// at the close) must still make the close report the loss.
struct ImplicitFlushCase {
  const char* label;
  uint32_t mode;
  aErr (*then)(aFile* file);
};

void PrintTo(const ImplicitFlushCase& c, std::ostream* os) { *os << c.label; }

class ImplicitFlush : public ::testing::TestWithParam<ImplicitFlushCase> {};

TEST_P(ImplicitFlush, LossReportedAtClose) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  aFile* file = aFile_Open("/dev/full", GetParam().mode);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(aErrNone, aFile_Write(file, "data", 4, nullptr));
  GetParam().then(file);
  EXPECT_EQ(aErrIO, aFile_Close(&file));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImplicitFlush,
    ::testing::Values(
        ImplicitFlushCase{"Read", aFileModeAppend,
                          [](aFile* f) {
                            char byte;
                            return aFile_Read(f, &byte, 1, nullptr);
                          }},
        ImplicitFlushCase{"ReadLine", aFileModeAppend,
                          [](aFile* f) {
                            char line[8];
                            return aFile_ReadLine(f, line, sizeof line, nullptr);
                          }},
        ImplicitFlushCase{"Seek", aFileModeWrite, [](aFile* f) { return aFile_Seek(f, 0, 0); }},
        ImplicitFlushCase{"GetSize", aFileModeAppend,
                          [](aFile* f) {
                            uint64_t size;
                            return aFile_GetSize(f, &size);
                          }}),
    [](const auto& info) { return std::string(info.param.label); });

// Holds the files of this process to their present size (a disk that is
// full for them): writes beyond it fail with EFBIG instead of raising
// SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_old;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit m_old{};
  void (*m_oldHandler)(int) = SIG_DFL;
};

// A failed flush is the write's failure, not the reads': the lines read
// after it are reported as read, and the close reports the lost data.
TEST_F(FileTest, FailedFlushLeavesLaterReadsGood) {
  const std::string name = make("f", "abcd\nefgh\n");
  FileSizeLimit full(10);
  aFile* file = aFile_Open(name.c_str(), aFileModeAppend);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(aErrNone, aFile_Write(file, "x", 1, nullptr));
  char line[16];
  size_t length = 99;
  EXPECT_EQ(aErrEOF, aFile_ReadLine(file, line, sizeof line, &length));
  ASSERT_EQ(aErrNone, aFile_Seek(file, 0, 0));
  const Line expected[] = {{aErrNone, "abcd\n"}, {aErrNone, "efgh\n"}, {aErrEOF, ""}};
  for (const Line& want : expected) {
    EXPECT_EQ(want.err, aFile_ReadLine(file, line, sizeof line, &length));
    EXPECT_EQ(want.text, std::string(line, length));
  }
  char byte;
  EXPECT_EQ(aErrEOF, aFile_Read(file, &byte, 1, nullptr));
  EXPECT_EQ(aErrIO, aFile_Close(&file));
  EXPECT_EQ("abcd\nefgh\n", contents("f"));
}

TEST_F(FileTest, DeleteResults) {
  const std::string existing = make("f", "x");
  EXPECT_EQ(aErrNone, aFile_Delete(existing.c_str()));
  EXPECT_FALSE(fs::exists(existing));
  EXPECT_EQ(aErrNotFound, aFile_Delete(existing.c_str()));
  EXPECT_EQ(aErrParam, aFile_Delete(nullptr));
  ASSERT_EQ(0, mkdir(path("dir").c_str(), 0755));
  EXPECT_EQ(aErrIO, aFile_Delete(path("dir").c_str()));
  EXPECT_TRUE(fs::is_directory(path("dir")));
}

}  // namespace
