// The settings file: reading rules, saving, change tracking, and that no
// load or save ever loses what the file held.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BirdTestSupport.h"
#include "KeyValueStore.h"
#include "UpdaterStoreFile.h"

namespace {

using Pairs = std::map<std::string, std::string>;

class SettingsTest : public ScratchDirTest {
protected:
  void TearDown() override
  {
    UpdaterStore_SetReplaceHook(nullptr, nullptr);
    ScratchDirTest::TearDown();
  }
  // Names in the directory of rel that begin with "." but are not rel.
  std::vector<std::string> leftovers() const
  {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root_)) {
      std::string n = e.path().filename().string();
      if (n[0] == '.' && n != ".settings")
        names.push_back(n);
    }
    return names;
  }
};

bool isTimeText(const std::string& t)
{
  // "Mon Oct 13 14:05:09 2025"
  return t.size() == 24 && t[3] == ' ' && t[7] == ' ' && t[13] == ':' && t[16] == ':' && t.back() != '\n';
}

// ---------------------------------------------------------------------------
// Reading.

struct ParseCase {
  const char* name;
  std::string file;
  Pairs pairs;
};

class Parsing : public SettingsTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(Parsing, ReadsPairsAsWritten)
{
  KeyValueStore s(write(".settings", GetParam().file).c_str());
  EXPECT_EQ(GetParam().pairs, s.Pairs());
  EXPECT_FALSE(s.Changed());
}

const std::string kLong(3000, 'x');

INSTANTIATE_TEST_SUITE_P(
    All, Parsing,
    ::testing::Values(
        ParseCase{"lf", "A=1\nB=two\n", {{"A", "1"}, {"B", "two"}}},
        ParseCase{"crlf", "A=1\r\nB=two\r\n", {{"A", "1"}, {"B", "two"}}},
        ParseCase{"noFinalNewline", "A=1\nB=two", {{"A", "1"}, {"B", "two"}}},
        ParseCase{"blanksTrimmed", "   KEY \t=  a b=c \t\n", {{"KEY", "a b=c"}}},
        ParseCase{"comment", "#A=1\nB=2\n", {{"B", "2"}}},
        ParseCase{"blankBeforeHash", " #A=1\n", {{"#A", "1"}}},
        ParseCase{"oneLetterEmptyValue", "a=\n", {{"a", ""}}},
        ParseCase{"onlyEquals", "=\n", {}},
        ParseCase{"emptyKey", " =x\n", {{"", "x"}}},
        ParseCase{"twoCharLine", "a\nB=1\n", {{"B", "1"}}},
        ParseCase{"noEquals", "LONELY\n", {{"LONELY", ""}}},
        ParseCase{"blankLine", "   \n\t\t\n\r\n", {}},
        ParseCase{"duplicateLastWins", "K=old\nK=new\n", {{"K", "new"}}},
        ParseCase{"otherWhitespace", "\vK\f=\fv\v\n", {{"K", "v"}}},
        // A line longer than the 2048-byte buffer is skipped whole; what follows
        // it is still read.
        ParseCase{"longLineSkipped", "A=1\nLONG=" + kLong + "\nB=2\n", {{"A", "1"}, {"B", "2"}}},
        ParseCase{"longLastLine", "A=1\nLONG=" + kLong, {{"A", "1"}}},
        ParseCase{"longestReadable", "K=" + std::string(2044, 'v') + "\nB=2\n",
                  {{"K", std::string(2044, 'v')}, {"B", "2"}}},
        ParseCase{"oneTooLong", "K=" + std::string(2045, 'v') + "\nB=2\n", {{"B", "2"}}},
        // Written back, a key read without "=" gains one: a 2046-character
        // key fits the reader's line only without it, so it is skipped like
        // an over-long line rather than saved as one.
        ParseCase{"keyOnlyThatGrowsPastALine", std::string(2046, 'K') + "\nB=2\n", {{"B", "2"}}},
        ParseCase{"longestKeyOnly", std::string(2045, 'K') + "\nB=2\n", {{std::string(2045, 'K'), ""}, {"B", "2"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every pair the store holds is written as a line that reads back whole;
// what no line could carry is refused when it would enter the store.
TEST_F(SettingsTest, EveryPairHeldRoundTrips)
{
  struct Case {
    const char* name;
    size_t keyLength;
    size_t valueLength;
    bool held;
  };
  const Case cases[] = {
      {"longestPair", 1, 2044, true},
      {"longestKeyEmptyValue", 2045, 0, true},
      {"pairOneTooLong", 1, 2045, false},
      {"keyOneTooLong", 2046, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string key(c.keyLength, 'K'), value(c.valueLength, 'v');
    KeyValueStore s;
    s.Add("A", "1");
    EXPECT_EQ(c.held, s.Add(key.c_str(), value));
    EXPECT_EQ(c.held, s.GetString(key.c_str(), "absent") == value);
    // A getter adds its key with an empty value, unless no line could carry
    // even that.
    KeyValueStore g;
    EXPECT_EQ(7, g.GetInt(key.c_str(), 7));
    EXPECT_EQ(c.keyLength <= 2045 ? 1u : 0u, g.Pairs().size());

    const std::string p = path("settings-" + std::string(c.name));
    ASSERT_TRUE(s.Save(p.c_str()));
    KeyValueStore back;
    back.Load(p.c_str(), false);
    EXPECT_EQ(s.Pairs(), back.Pairs());
  }
}

TEST_F(SettingsTest, LoadAddsToPairsInMemory)
{
  KeyValueStore s;
  s.Add("MINE", "1");
  s.Load(write("a", "OTHER=2\nMINE=3\n").c_str());
  EXPECT_EQ((Pairs{{"MINE", "3"}, {"OTHER", "2"}}), s.Pairs());
  EXPECT_FALSE(s.Changed());
  EXPECT_EQ(path("a"), s.Path());
}

// ---------------------------------------------------------------------------
// Saving.

TEST_F(SettingsTest, SaveWritesSortedLinesWithLfAndNothingElse)
{
  std::string p = write(".settings", "# note\r\nZ = 26\r\nA=1\r\nK=old\r\nK=new\r\n");
  KeyValueStore s(p.c_str());
  EXPECT_TRUE(s.Save());
  EXPECT_EQ("A=1\nK=new\nZ=26\n", contents(p)) << "an unchanged store gains no UPDATED_TIME";
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(SettingsTest, MissingFileIsCreatedWithTwoEqualTimes)
{
  std::string p = path(".settings");
  KeyValueStore s(p.c_str());
  EXPECT_FALSE(s.Changed());
  std::string created = s.GetString(KeyValueStore::KEY_CREATED_TIME);
  EXPECT_TRUE(isTimeText(created)) << created;
  EXPECT_EQ(created, s.GetString(KeyValueStore::KEY_UPDATED_TIME));
  EXPECT_EQ("CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n", contents(p));
}

TEST_F(SettingsTest, ChangedStoreGetsUpdatedTimeOnSave)
{
  std::string p = write(".settings", "UPDATED_TIME=long ago\n");
  KeyValueStore s(p.c_str());
  s.Add("LATEST_DOWNLOAD", "4242.bird");
  EXPECT_TRUE(s.Save(nullptr));
  EXPECT_FALSE(s.Changed());
  KeyValueStore back(p.c_str());
  EXPECT_EQ("4242.bird", back.GetString("LATEST_DOWNLOAD"));
  EXPECT_TRUE(isTimeText(back.GetString("UPDATED_TIME")));
}

TEST_F(SettingsTest, SaveWithoutAnyPathUsesDefaultNameInWorkingDirectory)
{
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(root_.c_str()));
  KeyValueStore s;
  s.Add("K", "v");
  bool saved = s.Save();
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(saved);
  EXPECT_EQ(".settings", s.Path());
  EXPECT_NE(std::string::npos, contents(path(".settings")).find("K=v\n"));
}

TEST_F(SettingsTest, FileInMissingDirectoryStaysInMemory)
{
  std::string p = path("no/such/dir/.settings");
  KeyValueStore s(p.c_str());
  EXPECT_TRUE(isTimeText(s.GetString("CREATED_TIME")));
  EXPECT_FALSE(std::filesystem::exists(p));
  ASSERT_TRUE(std::filesystem::create_directories(path("no/such/dir")));
  s.Add("K", "v");
  EXPECT_TRUE(s.Save()) << "a later save tries again";
  EXPECT_NE(std::string::npos, contents(p).find("K=v\n"));
}

// ---------------------------------------------------------------------------
// Nothing is ever lost.

bool failRename(const char*, void*)
{
  return false;
}

TEST_F(SettingsTest, FailedReplaceKeepsOldFileAndChange)
{
  std::string p = write(".settings", "A=1\n");
  KeyValueStore s(p.c_str());
  s.Add("B", "2");
  UpdaterStore_SetReplaceHook(failRename, nullptr);
  LogCapture log(DEBUG_Attributes);
  EXPECT_FALSE(s.Save());
  EXPECT_EQ("A=1\n", contents(p));
  EXPECT_TRUE(s.Changed());
  EXPECT_TRUE(leftovers().empty()) << "the temporary is removed";
  EXPECT_TRUE(log.has("Attibutes: Error - cannot open attributes file for writting: '" + p + "'"));

  UpdaterStore_SetReplaceHook(nullptr, nullptr);
  EXPECT_TRUE(s.Save());
  EXPECT_EQ("2", KeyValueStore(p.c_str()).GetString("B"));
}

bool crashAfterTemporary(const char*, void*)
{
  _exit(7);
}

TEST_F(SettingsTest, SaveInterruptedAfterTemporaryLeavesOldFileWhole)
{
  std::string old = "A=1\nB=" + std::string(1000, 'b') + "\n";
  std::string p = write(".settings", old);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    KeyValueStore s(p.c_str());
    s.Clear();
    s.Add("C", "3");
    UpdaterStore_SetReplaceHook(crashAfterTemporary, nullptr);
    s.Save();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(7, WEXITSTATUS(status)) << "the child must have stopped inside the save";
  EXPECT_EQ(old, contents(p));
  ASSERT_EQ(1u, leftovers().size()) << "the crash leaves its temporary behind";
  EXPECT_EQ("1", KeyValueStore(p.c_str()).GetString("A"));
}

// A file that exists but cannot be read must never be saved over: that
// would replace its pairs with whatever the store happens to hold.
enum class Unreadable { WriteOnlyMode, Directory, SymlinkLoop };

struct UnreadableCase {
  const char* name;
  Unreadable kind;
};

class UnreadableFile : public SettingsTest, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableFile, LeftUntouched)
{
  std::string p = path(".settings");
  switch (GetParam().kind) {
  case Unreadable::WriteOnlyMode:
    write(".settings", "KEEP=me\n");
    ASSERT_EQ(0, chmod(p.c_str(), 0222));
    ASSERT_EQ(0, chmod(root_.c_str(), 0777));
    break;
  case Unreadable::Directory:
    ASSERT_TRUE(std::filesystem::create_directory(p));
    break;
  case Unreadable::SymlinkLoop:
    std::filesystem::create_symlink(".settings", p);
    break;
  }
  auto before = snapshot();
  auto attempt = [&] {
    KeyValueStore s(p.c_str());
    bool loadedNothing = s.Pairs().empty();
    s.Add("LATEST_DOWNLOAD", "1.bird");
    bool saved = s.Save();
    return loadedNothing && !saved;
  };
  if (GetParam().kind == Unreadable::WriteOnlyMode && geteuid() == 0) {
    // Root reads any file; an ordinary user meets the mode.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0)
        _exit(2);
      _exit(attempt() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
  } else {
    EXPECT_TRUE(attempt());
  }
  EXPECT_EQ(before, snapshot());
  if (GetParam().kind == Unreadable::WriteOnlyMode) {
    chmod(p.c_str(), 0644);
    EXPECT_EQ("KEEP=me\n", contents(p));
  }
}

INSTANTIATE_TEST_SUITE_P(All, UnreadableFile,
                         ::testing::Values(UnreadableCase{"writeOnlyMode", Unreadable::WriteOnlyMode},
                                           UnreadableCase{"directory", Unreadable::Directory},
                                           UnreadableCase{"symlinkLoop", Unreadable::SymlinkLoop}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, ReplacedFileKeepsItsPermissions)
{
  std::string p = write(".settings", "A=1\n");
  ASSERT_EQ(0, chmod(p.c_str(), 0640));
  KeyValueStore s(p.c_str());
  s.Add("B", "2");
  ASSERT_TRUE(s.Save());
  struct stat st;
  ASSERT_EQ(0, stat(p.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
}

// ---------------------------------------------------------------------------
// Change tracking.

struct ChangeCase {
  const char* name;
  void (*act)(KeyValueStore&);
  bool changed;
};

class Changes : public SettingsTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(Changes, OnlyRealChangesCount)
{
  KeyValueStore s(write(".settings", "HAVE=1\n").c_str());
  GetParam().act(s);
  EXPECT_EQ(GetParam().changed, s.Changed());
}

INSTANTIATE_TEST_SUITE_P(
    All, Changes,
    ::testing::Values(ChangeCase{"newValue", [](KeyValueStore& s) { s.Add("NEW", "x"); }, true},
                      ChangeCase{"sameText", [](KeyValueStore& s) { s.Add("HAVE", "1"); }, false},
                      ChangeCase{"sameNumber", [](KeyValueStore& s) { s.Add("HAVE", 1); }, false},
                      ChangeCase{"otherText", [](KeyValueStore& s) { s.Add("HAVE", "2"); }, true},
                      ChangeCase{"emptyUnderNewKey", [](KeyValueStore& s) { s.Add("NEW", ""); }, false},
                      ChangeCase{"mergeEmpty", [](KeyValueStore& s) { s.Add(KeyValueStore()); }, false},
                      ChangeCase{"mergeSame",
                                 [](KeyValueStore& s) {
                                   KeyValueStore o;
                                   o.Add("HAVE", "1");
                                   s.Add(o);
                                 },
                                 true},
                      ChangeCase{"clear", [](KeyValueStore& s) { s.Clear(); }, true},
                      ChangeCase{"numericGetOfAbsentKey", [](KeyValueStore& s) { s.GetInt("ABSENT", 0); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, MergeAssignsOverAndKeepsOwnKeys)
{
  KeyValueStore a, b;
  a.Add("A", "1");
  a.Add("S", "mine");
  b.Add("S", "theirs");
  b.Add("Z", "26");
  a.Add(b);
  EXPECT_EQ((Pairs{{"A", "1"}, {"S", "theirs"}, {"Z", "26"}}), a.Pairs());
}

// ---------------------------------------------------------------------------
// Typed values.

TEST_F(SettingsTest, TypedAddersAndGettersConvert)
{
  KeyValueStore s;
  s.AddHex("HEX", 255);
  s.Add("INT", -42);
  s.Add("DBL", 2.5);
  s.Add("BOOL", 1);
  s.Add("BUILD", std::string("1234.bird"));
  s.Add("PREFIXED", "0x1F");
  EXPECT_STREQ("0x000000FF", s["HEX"]);
  EXPECT_EQ(255u, s.GetHex("HEX", 0));
  EXPECT_EQ(0x1Fu, s.GetHex("PREFIXED", 0));
  EXPECT_STREQ("-42", s["INT"]);
  EXPECT_EQ(-42, s.GetInt("INT", 0));
  EXPECT_STREQ("2.500000", s["DBL"]);
  EXPECT_DOUBLE_EQ(2.5, s.GetDouble("DBL", 0));
  EXPECT_TRUE(s.GetBOOL("BOOL", false));
  EXPECT_EQ(1234, s.GetInt("BUILD", 0)) << "a build's file name reads as its number";
  EXPECT_EQ(nullptr, s["ABSENT"]);

  s.Add("HUGE", 1e300);
  EXPECT_DOUBLE_EQ(1e300, s.GetDouble("HUGE", 0)) << "no fixed buffer cuts the text";
}

TEST_F(SettingsTest, GettersOfAbsentKeys)
{
  std::string p = write(".settings", "EMPTY=\n");
  KeyValueStore s(p.c_str());
  EXPECT_EQ(7, s.GetInt("EMPTY", 7)) << "an empty value gives the default";
  EXPECT_EQ("", s.GetString("NONE"));
  EXPECT_EQ("dflt", s.GetString("NONE", "dflt"));
  EXPECT_EQ(0, s.GetInt("LATEST_DOWNLOAD", 0));
  EXPECT_EQ(3u, s.GetHex("H", 3));
  s.Save();
  EXPECT_EQ("EMPTY=\nH=\nLATEST_DOWNLOAD=\n", contents(p))
      << "numeric getters insert the key they looked for; GetString does not";
}

TEST_F(SettingsTest, CopiesAreIndependentValues)
{
  KeyValueStore a(write(".settings", "A=1\n").c_str());
  KeyValueStore b(a);
  b.Add("B", "2");
  KeyValueStore c;
  c = b;
  EXPECT_EQ(nullptr, a["B"]);
  EXPECT_STREQ("2", c["B"]);
  EXPECT_TRUE(c.Changed());
  EXPECT_EQ(a.Path(), c.Path());
}



// ---------------------------------------------------------------------------
// Processes sharing one file: a save back to the file it came from merges.

struct SharedCase {
  const char* name;
  // Each acts on its own store loaded from the same file; `first` saves,
  // then `second`.
  std::function<void(KeyValueStore&)> first;
  std::function<void(KeyValueStore&)> second;
  Pairs after;  // the file afterwards, UPDATED_TIME left out
};

class SharedFile : public SettingsTest, public ::testing::WithParamInterface<SharedCase> {};

TEST_P(SharedFile, LaterSaveKeepsWhatTheEarlierOneWrote)
{
  const SharedCase& c = GetParam();
  const std::string p = write(".settings", "BASE=0\nLATEST_DOWNLOAD=1.bird\n");
  KeyValueStore one(p.c_str());
  KeyValueStore two(p.c_str());
  c.first(one);
  ASSERT_TRUE(one.Save());
  c.second(two);
  ASSERT_TRUE(two.Save());

  KeyValueStore back(p.c_str());
  Pairs onDisk = back.Pairs();
  onDisk.erase(KeyValueStore::KEY_UPDATED_TIME);
  EXPECT_EQ(c.after, onDisk);
  Pairs held = two.Pairs();
  held.erase(KeyValueStore::KEY_UPDATED_TIME);
  EXPECT_EQ(c.after, held) << "after a save the store holds what the file holds";
}

INSTANTIATE_TEST_SUITE_P(
    All, SharedFile,
    ::testing::Values(
        SharedCase{"otherKeys",
                   [](KeyValueStore& s) { s.Add("LATEST_TRANSFER", "7.bird"); },
                   [](KeyValueStore& s) { s.Add("LATEST_DOWNLOAD", "8.bird"); },
                   {{"BASE", "0"}, {"LATEST_DOWNLOAD", "8.bird"}, {"LATEST_TRANSFER", "7.bird"}}},
        SharedCase{"sameKeyLastWins",
                   [](KeyValueStore& s) { s.Add("LATEST_DOWNLOAD", "7.bird"); },
                   [](KeyValueStore& s) { s.Add("LATEST_DOWNLOAD", "8.bird"); },
                   {{"BASE", "0"}, {"LATEST_DOWNLOAD", "8.bird"}}},
        // Setting the value it read again still says what this run did.
        SharedCase{"sameKeySetAgain",
                   [](KeyValueStore& s) { s.Add("LATEST_DOWNLOAD", "7.bird"); },
                   [](KeyValueStore& s) { s.Add("LATEST_DOWNLOAD", "1.bird"); },
                   {{"BASE", "0"}, {"LATEST_DOWNLOAD", "1.bird"}}},
        // A getter's empty placeholder is no value of this run's.
        SharedCase{"readKeyDoesNotGoOver",
                   [](KeyValueStore& s) { s.Add("LATEST_TRANSFER", "7.bird"); },
                   [](KeyValueStore& s) { s.GetInt("LATEST_TRANSFER", 0); s.GetInt("NEVER_SET", 0); },
                   {{"BASE", "0"}, {"LATEST_DOWNLOAD", "1.bird"}, {"LATEST_TRANSFER", "7.bird"}, {"NEVER_SET", ""}}},
        SharedCase{"onlyLoadedSaves",
                   [](KeyValueStore& s) { s.Add("LATEST_TRANSFER", "7.bird"); },
                   [](KeyValueStore&) {},
                   {{"BASE", "0"}, {"LATEST_DOWNLOAD", "1.bird"}, {"LATEST_TRANSFER", "7.bird"}}},
        SharedCase{"mergedStoreGoesOver",
                   [](KeyValueStore& s) { s.Add("BASE", "1"); s.Add("LATEST_TRANSFER", "7.bird"); },
                   [](KeyValueStore& s) {
                     KeyValueStore other;
                     other.Add("BASE", "2");
                     s.Add(other);
                   },
                   {{"BASE", "2"}, {"LATEST_DOWNLOAD", "1.bird"}, {"LATEST_TRANSFER", "7.bird"}}},
        // A cleared store means to say all there is.
        SharedCase{"clearedReplacesWhole",
                   [](KeyValueStore& s) { s.Add("LATEST_TRANSFER", "7.bird"); },
                   [](KeyValueStore& s) { s.Clear(); s.Add("ONLY", "this"); },
                   {{"ONLY", "this"}}}),
    [](const ::testing::TestParamInfo<SharedCase>& i) { return std::string(i.param.name); });

TEST_F(SettingsTest, SaveToAnotherFileWritesItsOwnPairsWhole)
{
  const std::string p = write(".settings", "MINE=1\n");
  const std::string other = write("other", "THEIRS=2\n");
  KeyValueStore s(p.c_str());
  ASSERT_TRUE(s.Save(other.c_str()));
  EXPECT_EQ("MINE=1\n", contents(other));
}

TEST_F(SettingsTest, UnchangedFileAfterAnotherSaveGainsNoUpdatedTime)
{
  const std::string p = write(".settings", "UPDATED_TIME=long ago\n");
  KeyValueStore reader(p.c_str());
  KeyValueStore writer(p.c_str());
  writer.Add("LATEST_DOWNLOAD", "4242.bird");
  ASSERT_TRUE(writer.Save());
  const std::string written = contents(p);
  ASSERT_TRUE(reader.Save());
  EXPECT_EQ(written, contents(p)) << "a store that set nothing takes the file as it is";
}

// Processes that each load, set their own key and save, over and over, on
// one file that none of them has made yet: every last value survives, and
// the file is created once. Without the lock two saves that read the file
// at once each write back without the other's key.
TEST_F(SettingsTest, ConcurrentProcessesLoseNoKey)
{
  const std::string p = path(".settings");
  constexpr int kProcesses = 8;
  constexpr int kRounds = 150;
  int go[2];
  ASSERT_EQ(0, ::pipe(go));
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char c;
      // All start together: the test closes the pipe.
      if (::read(go[0], &c, 1) != 0)
        ::_exit(3);
      const std::string key = "K" + std::to_string(i);
      for (int r = 1; r <= kRounds; ++r) {
        KeyValueStore s(p.c_str());
        s.Add(key.c_str(), r);
        if (!s.Save())
          ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  KeyValueStore back(p.c_str());
  for (int i = 0; i < kProcesses; ++i)
    EXPECT_EQ(kRounds, back.GetInt(("K" + std::to_string(i)).c_str(), 0)) << "K" << i;
  EXPECT_TRUE(isTimeText(back.GetString(KeyValueStore::KEY_CREATED_TIME)));
  EXPECT_TRUE(leftovers().empty());
}

}  // namespace
