#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string_view>;
using R = UpdateServerRequest;

struct JudgeCase {
  const char* name;
  std::string body;
  bool ok;
};

class AnswerJudging : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(AnswerJudging, FirstLineMustBeginWithOk)
{
  EXPECT_EQ(GetParam().ok, R::AnswerIsOk(R::SplitAnswerLines(GetParam().body)));
}

INSTANTIATE_TEST_SUITE_P(Bodies, AnswerJudging,
                         ::testing::Values(JudgeCase{"empty", "", false},
                                           JudgeCase{"onlyLineFeeds", "\n\n\n", false},
                                           JudgeCase{"bareOk", "ok", true},
                                           JudgeCase{"okLine", "ok\n", true},
                                           JudgeCase{"okay", "okay\nmore\n", true},
                                           JudgeCase{"okCR", "ok\r\n", true},
                                           JudgeCase{"leadingLineFeeds", "\n\nok\n", true},
                                           JudgeCase{"upperCase", "OK\n", false},
                                           JudgeCase{"singleO", "o\nk\n", false},
                                           JudgeCase{"leadingBlank", " ok\n", false},
                                           JudgeCase{"leadingCR", "\rok\n", false},
                                           JudgeCase{"okOnSecondLine", "error\nok\n", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AnswerLines, RunsOfLineFeedsCountAsOneAndCRStays)
{
  EXPECT_EQ((Lines{"ok", "a", "b"}), R::SplitAnswerLines("\nok\n\n\na\nb"));
  EXPECT_EQ((Lines{"ok\r", "x\r", "\r"}), R::SplitAnswerLines("ok\r\nx\r\n\r\n"));
  const std::string withNul("ok\n1\0002\n", 7);
  EXPECT_EQ((Lines{"ok", std::string_view("1\0002", 3)}), R::SplitAnswerLines(withNul));
}

TEST(QueryBuildAnswer, BuildAndIdentifierStopAtCR)
{
  std::string build = "keep", fw = "keep";
  R::ParseQueryBuild(R::SplitAnswerLines("ok\r\n4242\r\nFW-1\r\n"), build, fw);
  EXPECT_EQ("4242", build) << "a server that ends its lines with CR LF gives the same build";
  EXPECT_EQ("FW-1", fw);

  build = fw = "keep";
  R::ParseQueryBuild(R::SplitAnswerLines("ok\n4242\n"), build, fw);
  EXPECT_EQ("4242", build);
  EXPECT_EQ("keep", fw) << "a missing line leaves its output unchanged";

  build = fw = "keep";
  R::ParseQueryBuild(R::SplitAnswerLines("ok\n"), build, fw);
  EXPECT_EQ("keep", build);
}

TEST(BuildAnswer, EmptiedThenSetFromLineTwo)
{
  std::string b64 = "old";
  R::ParseBuild(R::SplitAnswerLines("ok\nZm9v\r\nignored\n"), b64);
  EXPECT_EQ("Zm9v\r", b64);
  b64 = "old";
  R::ParseBuild(R::SplitAnswerLines("ok\n"), b64);
  EXPECT_EQ("", b64);
}

struct ListCase {
  const char* name;
  std::string body;
  std::map<std::string, std::string> expected;
};

class BuildListAnswer : public ::testing::TestWithParam<ListCase> {};

TEST_P(BuildListAnswer, Parses)
{
  std::map<std::string, std::string> builds{{"stale", "1.0.0"}};
  builds.clear();
  R::ParseBuildList(R::SplitAnswerLines(GetParam().body), builds);
  EXPECT_EQ(GetParam().expected, builds);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BuildListAnswer,
    ::testing::Values(
        ListCase{"plain", "ok\n100;2.10.4\n99;2.9.0\n", {{"100", "2.10.4"}, {"99", "2.9.0"}}},
        ListCase{"crlf", "ok\r\n100;2.10.4\r\n", {{"100", "2.10.4"}}},
        ListCase{"noVersion", "ok\n1234;\n", {{"1234", ""}}},
        ListCase{"noSeparator", "ok\n1234\n", {{"1234", ""}}},
        ListCase{"twoCharacterLineSkipped", "ok\n12\n", {}},
        ListCase{"onlySeparatorsSkipped", "ok\n;;;\n", {}},
        ListCase{"duplicateKeepsFirst", "ok\n7;1.0.0\n7;2.0.0\n", {{"7", "1.0.0"}}},
        ListCase{"runOfSeparators", "ok\n;;55;;;3.1.4;x\n", {{"55", "3.1.4"}}},
        ListCase{"firstLineNotAnEntry", "ok;1.2.3\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RecoveryCase {
  const char* name;
  std::string body;
  uint32_t serial;
  uint32_t build;
};

class RecoveryAnswer : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(RecoveryAnswer, Parses)
{
  uint32_t serial = 0xAAAAAAAA, build = 0xBBBBBBBB;
  R::ParseRecoveryInfo(R::SplitAnswerLines(GetParam().body), serial, build);
  EXPECT_EQ(GetParam().serial, serial);
  EXPECT_EQ(GetParam().build, build);
}

INSTANTIATE_TEST_SUITE_P(Lines, RecoveryAnswer,
                         ::testing::Values(RecoveryCase{"decimal", "ok\n40f5849a\n4242\n", 0x40F5849A, 4242},
                                           RecoveryCase{"hexBuild", "ok\n0x40F5849A\n0x10\n", 0x40F5849A, 16},
                                           RecoveryCase{"octalBuild", "ok\n1\n010\n", 1, 8},
                                           RecoveryCase{"crlf", "ok\r\nDEADDEAD\r\n77\r\n", 0xDEADDEAD, 77},
                                           RecoveryCase{"buildMissing", "ok\n12\n", 0x12, 0xBBBBBBBB},
                                           RecoveryCase{"bothMissing", "ok\n", 0xAAAAAAAA, 0xBBBBBBBB}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
