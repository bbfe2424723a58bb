// The local store under a private base directory: layout, exact lookups,
// listings that write nothing, and paths that never leave a module's
// directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "BirdFixture.h"
#include "BirdTestSupport.h"
#include "UpdaterStore.h"
#include "UpdaterStoreFile.h"
#include "UpdaterStoreLock.h"

namespace bs = birdsim;

namespace {

std::string message(const std::function<void()>& f)
{
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing raised)";
}

class StoreTest : public ScratchDirTest {
protected:
  void TearDown() override
  {
    UpdaterStore_SetReplaceHook(nullptr, nullptr);
    ScratchDirTest::TearDown();
  }
  std::string base() const { return path("updater"); }
  bs::Bytes birdBytes(uint32_t build) const
  {
    bs::Image image;
    image.blocks = {bs::descriptor(build, "1.2.3", 0xABCD, "M"), bs::firmware(0x1000, bs::Bytes(32, 1))};
    return bs::file(image);
  }
  std::vector<std::string> names(const std::vector<UpdaterStoreItem>& items) const
  {
    std::vector<std::string> out;
    for (const auto& i : items)
      out.push_back(i.Name());
    return out;
  }
};

// ---------------------------------------------------------------------------
// Base and module directories.

TEST_F(StoreTest, BaseDirectoryIsCreatedWithParents)
{
  UpdaterStore store(path("a/b/updater"));
  EXPECT_TRUE(std::filesystem::is_directory(path("a/b/updater")));
  EXPECT_EQ(path("a/b/updater"), store.BasePath());
}

TEST_F(StoreTest, BaseThatCannotBeADirectoryRaises)
{
  write("file", "x");
  EXPECT_EQ("UpdaterStore: " + path("file") + " exists and is a file",
            message([&] { UpdaterStore s(path("file")); }));
  EXPECT_EQ("UpdaterStore: Could not create directory " + path("file/updater") + " error 12",
            message([&] { UpdaterStore s(path("file/updater")); }));
}

TEST_F(StoreTest, AddDeviceMakesDirectoryAndSettingsOnce)
{
  UpdaterStore store(base());
  UpdaterStoreItem item = store.AddDevice(0xABCD);
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(base(), item.Directory());
  EXPECT_EQ("0000ABCD", item.Name());
  EXPECT_EQ(STORE_ITEM_DIRECTORY, item.Kind());
  std::string settings = contents(base() + "/0000ABCD/.settings");
  EXPECT_EQ(0u, settings.find("CREATED_TIME="));
  EXPECT_NE(std::string::npos, settings.find("\nUPDATED_TIME="));

  auto before = snapshot();
  UpdaterStoreItem again = store.AddDevice(0xABCD);
  EXPECT_EQ(before, snapshot()) << "a second AddDevice creates and rewrites nothing";
  EXPECT_EQ(item.Settings().Pairs(), again.Settings().Pairs());
}

TEST_F(StoreTest, AddDeviceRefusesNamesOutsideTheBase)
{
  UpdaterStore store(base());
  for (const char* bad : {"", ".", "..", "../escape", "a/b"})
    EXPECT_EQ("UpdaterStore: invalid device name [" + std::string(bad) + "]",
              message([&] { store.AddDevice(std::string(bad)); }));
  EXPECT_FALSE(std::filesystem::exists(path("escape")));
}

// ---------------------------------------------------------------------------
// Lookups match an entry's name exactly.

struct FindCase {
  const char* name;
  std::vector<std::string> dirs;  // made under the base
  bool found;
};

class FindDevice : public StoreTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindDevice, MatchesEntryNameExactly)
{
  // The base path itself holds the searched name, which a test on the whole
  // path would match on the first entry listed.
  std::string b = path("0000ABCD/updater");
  UpdaterStore store(b);
  for (const std::string& d : GetParam().dirs)
    std::filesystem::create_directories(b + "/" + d);
  UpdaterStoreItem item("keep", "me", STORE_ITEM_FILE, false);
  EXPECT_EQ(GetParam().found, store.FindDevice(0xABCD, &item));
  if (GetParam().found) {
    EXPECT_EQ(b, item.Directory());
    EXPECT_EQ("0000ABCD", item.Name());
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.Kind());
    EXPECT_TRUE(item.IsValid());
  } else {
    EXPECT_EQ("keep", item.Directory()) << "a failed search leaves the item alone";
    EXPECT_EQ("me", item.Name());
  }
  EXPECT_EQ(GetParam().found, store.FindDevice("0000ABCD", nullptr));
}

INSTANTIATE_TEST_SUITE_P(All, FindDevice,
                         ::testing::Values(FindCase{"empty", {}, false},
                                           FindCase{"longerNames", {"0000ABCD-old", "X0000ABCD", "0000ABCDE"}, false},
                                           FindCase{"otherSerial", {"0000ABCE"}, false},
                                           FindCase{"exact", {"0000ABCD-old", "0000ABCD"}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StoreTest, FindDeviceLoadsTheModuleSettings)
{
  UpdaterStore store(base());
  write("updater/00000001/.settings", "LATEST_DOWNLOAD=77.bird\n");
  UpdaterStoreItem item;
  EXPECT_FALSE(item.IsValid());
  ASSERT_TRUE(store.FindDevice(1, &item));
  EXPECT_EQ(77, item.Settings().GetInt("LATEST_DOWNLOAD", 0));
}

TEST_F(StoreTest, UnlistableBaseHoldsNothing)
{
  UpdaterStore store(base());
  std::filesystem::remove(base());
  std::vector<UpdaterStoreItem> items;
  EXPECT_FALSE(store.FindDevice(1, nullptr));
  EXPECT_TRUE(store.FindLocalBuilds(1, items));
  EXPECT_TRUE(items.empty());
}

// ---------------------------------------------------------------------------
// Local build listings.

TEST_F(StoreTest, LocalBuildsListsFilesButNotDotEntriesAndAppends)
{
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  ASSERT_EQ(aErrNone, dev.WriteFile("100.bird", birdBytes(100).data(), birdBytes(100).size()));
  ASSERT_EQ(aErrNone, dev.WriteFile("99.bird", birdBytes(99).data(), birdBytes(99).size()));
  write("updater/0000ABCD/.100.bird.123.0.tmp", "crash leftover");

  std::vector<UpdaterStoreItem> items(1);
  EXPECT_TRUE(store.FindLocalBuilds(0xABCD, items));
  ASSERT_EQ(3u, items.size()) << "appended after what the vector held";
  EXPECT_FALSE(items[0].IsValid());
  std::vector<std::string> got = {items[1].Name(), items[2].Name()};
  std::sort(got.begin(), got.end());
  EXPECT_EQ((std::vector<std::string>{"100.bird", "99.bird"}), got);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(STORE_ITEM_FILE, items[i].Kind());
    EXPECT_EQ(base() + "/0000ABCD", items[i].Directory());
  }

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x1234, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(StoreTest, ListingWritesNothing)
{
  UpdaterStore store(base());
  // A module directory without settings and with a subdirectory: a listing
  // that loaded settings the creating way would leave files in both.
  std::filesystem::create_directories(base() + "/0000ABCD/sub");
  write("updater/0000ABCD/5.bird", birdBytes(5));
  auto before = snapshot();
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0xABCD, items);
  EXPECT_EQ(2u, items.size());
  EXPECT_EQ(before, snapshot());
}

// ---------------------------------------------------------------------------
// Writing and reading build files.

struct WriteCase {
  const char* name;
  std::string file;
  bool nullData;
  size_t length;
  aErr result;
};

class WriteFile : public StoreTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteFile, WritesOnlyBuildFilesInsideTheModule)
{
  const WriteCase& c = GetParam();
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  auto before = snapshot();
  bs::Bytes data(64, 0x5A);
  EXPECT_EQ(c.result, dev.WriteFile(c.file, c.nullData ? nullptr : data.data(), c.length));
  if (c.result == aErrNone) {
    EXPECT_EQ(std::string(c.length, '\x5A'), contents(base() + "/0000ABCD/" + c.file));
    EXPECT_EQ(before.size() + 1, snapshot().size()) << "no temporary is left";
  } else {
    EXPECT_EQ(before, snapshot());
  }
}

INSTANTIATE_TEST_SUITE_P(All, WriteFile,
                         ::testing::Values(WriteCase{"build", "4242.bird", false, 64, aErrNone},
                                           WriteCase{"empty", "1.bird", false, 0, aErrNone},
                                           WriteCase{"nullData", "1.bird", true, 64, aErrNotFound},
                                           WriteCase{"parent", "../1.bird", false, 64, aErrParam},
                                           WriteCase{"nested", "1.bird/../../x", false, 64, aErrParam},
                                           WriteCase{"absolute", "/tmp/1.bird", false, 64, aErrParam},
                                           WriteCase{"notDecimal", "12a.bird", false, 64, aErrParam},
                                           WriteCase{"noDigits", ".bird", false, 64, aErrParam},
                                           WriteCase{"otherSuffix", "12.BIRD", false, 64, aErrParam},
                                           WriteCase{"settings", ".settings", false, 64, aErrParam}),
                         [](const auto& info) { return std::string(info.param.name); });

bool failRename(const char*, void*)
{
  return false;
}

TEST_F(StoreTest, FailedWriteKeepsThePreviousBuildFile)
{
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  bs::Bytes good = birdBytes(7);
  ASSERT_EQ(aErrNone, dev.WriteFile("7.bird", good.data(), good.size()));
  auto before = snapshot();
  UpdaterStore_SetReplaceHook(failRename, nullptr);
  bs::Bytes junk(10, 0);
  EXPECT_EQ(aErrIO, dev.WriteFile("7.bird", junk.data(), junk.size()));
  EXPECT_EQ(before, snapshot());
  UpdaterStore_SetReplaceHook(nullptr, nullptr);
  EXPECT_EQ(7u, dev.ReadBirdFile("7.bird").GetBuild());
}

TEST_F(StoreTest, ReadBirdFileLoadsAndRaisesWithFullPath)
{
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  bs::Bytes good = birdBytes(42);
  ASSERT_EQ(aErrNone, dev.WriteFile("42.bird", good.data(), good.size()));
  BirdFile f = dev.ReadBirdFile("42.bird");
  EXPECT_EQ(42u, f.GetBuild());
  EXPECT_EQ(2u, f.BlockCount());

  std::string dir = base() + "/0000ABCD/";
  write("updater/0000ABCD/43.bird", "not a bird file at all");
  EXPECT_EQ("Invalid bird " + dir + "43.bird: not a BIRD file (it does not begin with \"bird\")",
            message([&] { dev.ReadBirdFile("43.bird"); }));
  write("updater/0000ABCD/44.bird", std::string("bird\x01\x01garbage", 13));
  EXPECT_EQ("Failed to load bird data: " + dir + "44.bird: its compressed body is cut short or corrupt",
            message([&] { dev.ReadBirdFile("44.bird"); }));
  EXPECT_EQ("Invalid bird " + dir + "45.bird: No such file or directory",
            message([&] { dev.ReadBirdFile("45.bird"); }));
}

TEST_F(StoreTest, SettingsCannotSteerReadsOutOfTheModule)
{
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  // A valid BIRD file outside the module directory, and a setting naming it.
  write("outside.bird", birdBytes(9));
  write("updater/0000ABCD/.settings", "LATEST_DOWNLOAD=../../outside.bird\n");
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0xABCD, &item));
  std::string name = item.Settings().GetString("LATEST_DOWNLOAD");
  EXPECT_EQ("Invalid bird " + base() + "/0000ABCD/../../outside.bird: not a build's file name",
            message([&] { item.ReadBirdFile(name); }));
}

TEST_F(StoreTest, FileExistsMatchesNamesExactly)
{
  UpdaterStore store(base());
  UpdaterStoreItem dev = store.AddDevice(0xABCD);
  bs::Bytes b = birdBytes(1);
  ASSERT_EQ(aErrNone, dev.WriteFile("1234.bird", b.data(), b.size()));
  EXPECT_TRUE(dev.FileExists("1234.bird"));
  EXPECT_TRUE(dev.FileExists(".settings"));
  EXPECT_FALSE(dev.FileExists("234.bird"));
  EXPECT_FALSE(dev.FileExists("1234"));
}

TEST_F(StoreTest, ItemsAreValues)
{
  UpdaterStore store(base());
  UpdaterStoreItem a = store.AddDevice(1);
  UpdaterStoreItem b(a);
  b.Settings().Add("K", "v");
  UpdaterStoreItem c;
  c = b;
  EXPECT_EQ(nullptr, a.Settings()["K"]);
  EXPECT_STREQ("v", c.Settings()["K"]);
  EXPECT_EQ(a.Path(), c.Path());
}

// ---------------------------------------------------------------------------
// Other processes: temporaries left by runs that died, and the hold of an
// installing run.

// The id of a process that has ended and been reaped.
pid_t deadPid()
{
  const pid_t pid = ::fork();
  if (pid == 0)
    ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

// Another process, kept alive until the object goes. With an entry path it
// takes the entry's hold first and says so before it waits.
class OtherProcess {
public:
  explicit OtherProcess(const std::string& holdEntry = "")
  {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(m_release) != 0)
      return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(ready[0]);
      ::close(m_release[1]);
      UpdaterStoreHold hold;
      if (!holdEntry.empty())
        hold = UpdaterStoreHold::Take(holdEntry);
      const char answer = hold.Held() ? 'H' : 'N';
      if (::write(ready[1], &answer, 1) != 1)
        ::_exit(2);
      char c;
      while (::read(m_release[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(m_release[0]);
    if (::read(ready[0], &m_answer, 1) != 1)
      m_answer = '?';
    ::close(ready[0]);
  }
  ~OtherProcess() { end(false); }
  // Ends it (killed when `kill`, so nothing of its own runs on the way out).
  void end(bool kill)
  {
    if (m_pid <= 0)
      return;
    if (kill)
      ::kill(m_pid, SIGKILL);
    ::close(m_release[1]);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
  }
  pid_t pid() const { return m_pid; }
  bool holds() const { return m_answer == 'H'; }

private:
  pid_t m_pid = -1;
  int m_release[2] = {-1, -1};
  char m_answer = 0;
};

std::string withPid(std::string name, const std::string& tag, pid_t pid)
{
  for (size_t at; (at = name.find(tag)) != std::string::npos;)
    name.replace(at, tag.size(), std::to_string(pid));
  return name;
}

struct StaleCase {
  const char* name;
  const char* file;  // {dead}: a process that is gone; {live}: another running one; {self}: this one
  bool removed;
};

const StaleCase kStaleCases[] = {
    {"settingsTempOfDead", "..settings.{dead}.0.tmp", true},
    {"buildTempOfDead", ".4242.bird.{dead}.17.tmp", true},
    {"stagedDownloadOfDead", ".download-{dead}-4242.bird", true},
    {"tempOfStagedDownloadOfDead", "..download-{dead}-4242.bird.{dead}.0.tmp", true},
    {"settingsTempOfLive", "..settings.{live}.0.tmp", false},
    {"stagedDownloadOfLive", ".download-{live}-4242.bird", false},
    {"settingsTempOfSelf", "..settings.{self}.3.tmp", false},
    {"noCounter", "..settings.{dead}.tmp", false},
    {"notHidden", "settings.{dead}.0.tmp", false},
    {"noName", "..{dead}.0.tmp", false},
    {"stagedWithoutFile", ".download-{dead}-", false},
    {"lockFile", ".update.lock", false},
    {"build", "4242.bird", false},
    {"otherHidden", ".notes", false},
};

struct Opener {
  const char* name;
  std::function<void(UpdaterStore&)> open;
  bool clears;
};

const Opener kOpeners[] = {
    {"AddDevice", [](UpdaterStore& s) { s.AddDevice(0xABCD); }, true},
    {"FindDevice", [](UpdaterStore& s) { UpdaterStoreItem item; s.FindDevice(0xABCD, &item); }, true},
    // A listing writes nothing, deletions included.
    {"FindLocalBuilds", [](UpdaterStore& s) { std::vector<UpdaterStoreItem> items; s.FindLocalBuilds(0xABCD, items); },
     false},
};

class StaleTemporaries : public StoreTest, public ::testing::WithParamInterface<Opener> {};

TEST_P(StaleTemporaries, OnlyThoseOfGoneProcessesAreRemovedWhenTheEntryOpens)
{
  const Opener& opener = GetParam();
  const pid_t dead = deadPid();
  OtherProcess live;
  ASSERT_GT(live.pid(), 0);
  UpdaterStore store(base());
  const std::string dir = store.AddDevice(0xABCD).Path();
  for (const StaleCase& c : kStaleCases) {
    const std::string name =
        withPid(withPid(withPid(c.file, "{dead}", dead), "{live}", live.pid()), "{self}", ::getpid());
    write("updater/0000ABCD/" + name, "partial");
  }

  opener.open(store);

  for (const StaleCase& c : kStaleCases) {
    const std::string name =
        withPid(withPid(withPid(c.file, "{dead}", dead), "{live}", live.pid()), "{self}", ::getpid());
    EXPECT_EQ(!(opener.clears && c.removed), std::filesystem::exists(dir + "/" + name)) << c.name << ": " << name;
  }
  EXPECT_TRUE(std::filesystem::exists(dir + "/.settings"));
}

INSTANTIATE_TEST_SUITE_P(All, StaleTemporaries, ::testing::ValuesIn(kOpeners),
                         [](const ::testing::TestParamInfo<Opener>& i) { return std::string(i.param.name); });

TEST_F(StoreTest, HoldOfAnotherProcessRefusesAndNamesIt)
{
  UpdaterStore store(base());
  const std::string entry = store.AddDevice(0xABCD).Path();
  OtherProcess holder(entry);
  ASSERT_TRUE(holder.holds());

  UpdaterStoreHold refused = UpdaterStoreHold::Take(entry);
  EXPECT_FALSE(refused.Held());
  EXPECT_EQ(holder.pid(), refused.Holder());
  EXPECT_EQ("", refused.Problem());

  holder.end(false);
  UpdaterStoreHold taken = UpdaterStoreHold::Take(entry);
  EXPECT_TRUE(taken.Held());
  EXPECT_EQ(0, taken.Holder());
  OtherProcess second(entry);
  EXPECT_FALSE(second.holds()) << "held here now";
}

TEST_F(StoreTest, HoldOfAKilledProcessIsFreeAndAReleasedHoldLeavesNoFile)
{
  UpdaterStore store(base());
  const std::string entry = store.AddDevice(0xABCD).Path();
  const std::string lockFile = entry + "/" + UpdaterStoreHold::LOCK_FILENAME;
  OtherProcess holder(entry);
  ASSERT_TRUE(holder.holds());
  holder.end(true);
  EXPECT_TRUE(std::filesystem::exists(lockFile)) << "a killed holder cannot tidy up";
  {
    UpdaterStoreHold hold = UpdaterStoreHold::Take(entry);
    ASSERT_TRUE(hold.Held());
    UpdaterStoreHold moved = std::move(hold);
    EXPECT_TRUE(moved.Held());
    EXPECT_FALSE(hold.Held());
  }
  EXPECT_FALSE(std::filesystem::exists(lockFile));
  OtherProcess next(entry);
  EXPECT_TRUE(next.holds()) << "a released hold is free";
}

TEST_F(StoreTest, HoldWithoutAUsableLockFileSaysWhy)
{
  UpdaterStoreHold hold = UpdaterStoreHold::Take(path("no/such/entry"));
  EXPECT_FALSE(hold.Held());
  EXPECT_EQ(0, hold.Holder());
  EXPECT_NE(std::string::npos, hold.Problem().find("cannot open")) << hold.Problem();
}

// ---------------------------------------------------------------------------
// What the store did not make: every operation that meets a link or a FIFO
// where the store keeps its own entry or file refuses it, names it, and
// leaves whatever lies behind the link as it was.

class StoreRefusalTest;

struct RefusalCase {
  const char* name;
  // Plants the thing in the store's place; answers its path.
  std::function<std::string(StoreRefusalTest&)> plant;
  // Runs the operation; answers its refusal ("" when it did not refuse).
  std::function<std::string(StoreRefusalTest&)> run;
  const char* what;
};

class StoreRefusalTest : public StoreTest, public ::testing::WithParamInterface<RefusalCase> {
public:
  using StoreTest::base;
  std::string entry() const { return base() + "/0000ABCD"; }
  std::string outside(const std::string& rel = "") const { return path("outside") + (rel.empty() ? "" : "/" + rel); }
  std::string linkTo(const std::string& at, const std::string& target) const
  {
    std::filesystem::create_directories(std::filesystem::path(at).parent_path());
    std::filesystem::remove_all(at);
    std::filesystem::create_symlink(target, at);
    return at;
  }
  std::string fifo(const std::string& at) const
  {
    std::filesystem::create_directories(std::filesystem::path(at).parent_path());
    std::filesystem::remove(at);
    EXPECT_EQ(0, ::mkfifo(at.c_str(), 0644));
    return at;
  }
};

std::string refusalOf(const std::function<void()>& f)
{
  try {
    f();
  } catch (const UpdaterStoreRefusal& e) {
    return e.what();
  }
  return "";
}

TEST_P(StoreRefusalTest, RefusedByNameAndNothingBehindItChanges)
{
  const RefusalCase& c = GetParam();
  write("outside/secret", "db_password=hunter2\n");
  write("outside/1234.bird", birdBytes(1234));
  write("updater/0000ABCD/.settings", "NOTE=kept\n");
  const std::string named = c.plant(*this);
  const auto before = snapshot();
  EXPECT_EQ(named + " " + c.what, c.run(*this));
  EXPECT_EQ(before, snapshot());
}

INSTANTIATE_TEST_SUITE_P(
    Store, StoreRefusalTest,
    ::testing::Values(
        RefusalCase{"FindDeviceEntryLinked", [](StoreRefusalTest& t) { return t.linkTo(t.entry(), t.outside()); },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreItem item;
                      return refusalOf([&] { UpdaterStore(t.base()).FindDevice(0xABCD, &item); });
                    },
                    "is a symbolic link"},
        RefusalCase{"AddDeviceEntryLinked", [](StoreRefusalTest& t) { return t.linkTo(t.entry(), t.outside()); },
                    [](StoreRefusalTest& t) { return refusalOf([&] { UpdaterStore(t.base()).AddDevice(0xABCD); }); },
                    "is a symbolic link"},
        RefusalCase{"FindDeviceSettingsLinked",
                    [](StoreRefusalTest& t) { return t.linkTo(t.entry() + "/.settings", t.outside("secret")); },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreItem item;
                      return refusalOf([&] { UpdaterStore(t.base()).FindDevice(0xABCD, &item); });
                    },
                    "is a symbolic link"},
        RefusalCase{"FindDeviceSettingsFifo", [](StoreRefusalTest& t) { return t.fifo(t.entry() + "/.settings"); },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreItem item;
                      return refusalOf([&] { UpdaterStore(t.base()).FindDevice(0xABCD, &item); });
                    },
                    "is not a regular file"},
        RefusalCase{"LocalBuildsEntryLinked", [](StoreRefusalTest& t) { return t.linkTo(t.entry(), t.outside()); },
                    [](StoreRefusalTest& t) {
                      std::vector<UpdaterStoreItem> items;
                      return refusalOf([&] { UpdaterStore(t.base()).FindLocalBuilds(0xABCD, items); });
                    },
                    "is a symbolic link"},
        RefusalCase{"ReadBirdFileLinked",
                    [](StoreRefusalTest& t) { return t.linkTo(t.entry() + "/1234.bird", t.outside("1234.bird")); },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreItem item(t.base(), "0000ABCD", STORE_ITEM_DIRECTORY);
                      return refusalOf([&] { item.ReadBirdFile("1234.bird"); });
                    },
                    "is a symbolic link"},
        RefusalCase{"WriteFileOverALink",
                    [](StoreRefusalTest& t) { return t.linkTo(t.entry() + "/1234.bird", t.outside("1234.bird")); },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreItem item(t.base(), "0000ABCD", STORE_ITEM_DIRECTORY);
                      const uint8_t bytes[] = {1, 2, 3};
                      std::string why;
                      EXPECT_EQ(aErrNotFound, item.WriteFile("1234.bird", bytes, sizeof bytes, &why));
                      return why;
                    },
                    "is a symbolic link"},
        RefusalCase{"SettingsSaveOverALink",
                    [](StoreRefusalTest& t) { return t.linkTo(t.entry() + "/.settings", t.outside("secret")); },
                    [](StoreRefusalTest& t) {
                      KeyValueStore settings;
                      settings.Add("LATEST_DOWNLOAD", "1234.bird");
                      EXPECT_FALSE(settings.Save((t.entry() + "/.settings").c_str()));
                      return settings.Refusal();
                    },
                    "is a symbolic link"},
        RefusalCase{"HoldFileLinked",
                    [](StoreRefusalTest& t) {
                      return t.linkTo(t.entry() + "/" + UpdaterStoreHold::LOCK_FILENAME, t.outside("made"));
                    },
                    [](StoreRefusalTest& t) {
                      UpdaterStoreHold hold = UpdaterStoreHold::Take(t.entry());
                      EXPECT_FALSE(hold.Held());
                      return hold.Refusal();
                    },
                    "is a symbolic link"},
        RefusalCase{"HoldFileFifo",
                    [](StoreRefusalTest& t) { return t.fifo(t.entry() + "/" + UpdaterStoreHold::LOCK_FILENAME); },
                    [](StoreRefusalTest& t) { return UpdaterStoreHold::Take(t.entry()).Refusal(); },
                    "is not a regular file"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

}  // namespace
