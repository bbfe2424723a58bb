#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> buildsOf(const Pairs& pairs)
{
  std::vector<std::string> out;
  for (const auto& p : pairs)
    out.push_back(p.first);
  return out;
}

struct SortCase {
  const char* name;
  std::map<std::string, std::string> builds;
  std::vector<std::string> order;
};

class SortByVersion : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortByVersion, NewestFirst)
{
  EXPECT_EQ(GetParam().order, buildsOf(UpdateServerRequest::SortBuildsByVersion(GetParam().builds)));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SortByVersion,
    ::testing::Values(
        SortCase{"numericNotText", {{"a", "2.10.4"}, {"b", "2.9.0"}, {"c", "2.10.12"}}, {"c", "a", "b"}},
        SortCase{"partsCountByLowByte", {{"a", "2.0.300"}, {"b", "2.0.45"}, {"c", "2.0.43"}}, {"b", "a", "c"}},
        SortCase{"unparsableLast",
                 {{"1", "beta"}, {"2", "1.0.0"}, {"3", "1.2"}, {"4", "1.x.0"}, {"5", ""}, {"6", "0.0.1"}},
                 {"2", "6", "5", "4", "3", "1"}},
        SortCase{"equalVersionsHigherBuildFirst", {{"99", "2.0.0"}, {"100", "2.0.0"}, {"7", "3.0.0"}},
                 {"7", "100", "99"}},
        SortCase{"blanksAndSignsAsStoi", {{"1", " 1.+2.3"}, {"2", "1.2.3abc"}, {"3", "1.2.4"}}, {"3", "2", "1"}},
        SortCase{"nonNumericBuildsAfterNumeric", {{"x", "bad"}, {"10", "bad"}, {"9", "bad"}}, {"10", "9", "x"}},
        SortCase{"empty", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A comparator that is not a strict weak ordering lets std::sort run past the
// range on larger inputs; a mixed list of this size exercises that path.
TEST(SortByVersionLarge, MixedServerInputStaysOrderedAndComplete)
{
  std::mt19937 rng(1234);
  std::map<std::string, std::string> builds;
  const char* junk[] = {"", "x", "1.2", "1..2", "a.b.c", "1.2.3.4", "99999999999.1.1"};
  for (int i = 0; i < 400; ++i) {
    std::string version;
    if (rng() % 2)
      version = std::to_string(rng() % 4) + "." + std::to_string(rng() % 12) + "." + std::to_string(rng() % 3);
    else
      version = junk[rng() % (sizeof junk / sizeof *junk)];
    builds[std::to_string(1000 + i)] = version;
  }
  const Pairs sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(builds.size(), sorted.size());
  std::map<std::string, std::string> back(sorted.begin(), sorted.end());
  EXPECT_EQ(builds, back) << "every pair exactly once";

  auto parts = [](const std::string& v) { return UpdateServerRequest::SplitJorvaniteVersion(v); };
  auto parsed = [&](const std::string& v) {
    auto p = parts(v);
    if (p.size() != 3)
      return false;
    try {
      for (auto& s : p)
        (void)std::stoi(s);
    } catch (...) {
      return false;
    }
    return true;
  };
  bool seenUnparsed = false;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const bool ok = parsed(sorted[i].second);
    EXPECT_FALSE(ok && seenUnparsed) << "parsed version after an unparsable one at " << i;
    seenUnparsed = seenUnparsed || !ok;
    if (i > 0 && ok && parsed(sorted[i - 1].second)) {
      auto a = parts(sorted[i - 1].second), b = parts(sorted[i].second);
      auto key = [](const std::vector<std::string>& p) {
        return std::make_tuple(std::stoi(p[0]) & 0xFF, std::stoi(p[1]) & 0xFF, std::stoi(p[2]) & 0xFF);
      };
      EXPECT_GE(key(a), key(b)) << sorted[i - 1].second << " before " << sorted[i].second;
    }
  }
  EXPECT_EQ(sorted, UpdateServerRequest::SortBuildsByVersion(builds)) << "deterministic";
}

TEST(SplitVersion, ExactlyThreePieces)
{
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"2", "11", "5"}), UpdateServerRequest::SplitJorvaniteVersion("2.11.5"));
  EXPECT_EQ((V{"", "", ""}), UpdateServerRequest::SplitJorvaniteVersion(".."));
  EXPECT_EQ(V{}, UpdateServerRequest::SplitJorvaniteVersion("1.2"));
  EXPECT_EQ(V{}, UpdateServerRequest::SplitJorvaniteVersion("1.2.3.4"));
  EXPECT_EQ(V{}, UpdateServerRequest::SplitJorvaniteVersion(""));
}

} // namespace
