// The local store holds only what the updater made. A module's entry, its
// .settings, its hold file or a BIRD file in it that is a symbolic link (to
// somewhere private) or a FIFO is refused at once by every command that
// meets it: exit 1, the path and what it is named, nothing read from it or
// written through it, the module not touched. Run through the real program
// with its USB seam on a simulated module and the simulated update server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "FlowsFixture.h"

namespace {

using namespace flows;

constexpr uint32_t kModule = 0x40F5849A;
constexpr const char* kSecret = "db_password=hunter2\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every byte the tree below `dir` holds, followed links not, as path -> bytes
// (a link as "-> target").
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(fs::symlink_status(dir))) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const fs::file_status st = e.symlink_status();
    if (fs::is_symlink(st))
      out[e.path().string()] = "-> " + fs::read_symlink(e.path()).string();
    else if (fs::is_regular_file(st))
      out[e.path().string()] = readFile(e.path());
    else
      out[e.path().string()] = fs::is_directory(st) ? "<dir>" : "<other>";
  }
  return out;
}

class StoreRefusal;

struct RefusalCase {
  const char* name;
  // Plants what the store did not make; the path the refusal names.
  std::function<fs::path(StoreRefusal&)> plant;
  std::vector<std::string> args;  // "SN" stands for the module's serial, "BIRD" for a sound file outside
  const char* what;               // "is a symbolic link", "is not a regular file"
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class StoreRefusal : public ::testing::TestWithParam<RefusalCase> {
 public:
  void SetUp() override {
    root_ = freshRoot(std::string("refusal-") + GetParam().name);
    firmware_.serial = kModule;
    server_.setConfig(serverConfig({firmware_}));
    ASSERT_TRUE(server_.start());
    fs::create_directories(entry());
    std::ofstream(entry() / ".settings") << "NOTE=kept\n";
    // Somewhere private: a root-only directory beside the store.
    fs::create_directories(privateDir());
    ::chmod(privateDir().c_str(), 0700);
    std::ofstream(secretFile()) << kSecret;
    ::chmod(secretFile().c_str(), 0600);
    const birdsim::Bytes bird = firmware_.file();
    std::ofstream(soundBird(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bird.data()), static_cast<std::streamsize>(bird.size()));
  }
  void TearDown() override {
    server_.stop();
    if (!root_.empty()) fs::remove_all(root_);
  }

  fs::path entry() const { return root_ / "updater" / hex8(kModule); }
  fs::path privateDir() const { return root_ / "private"; }
  fs::path secretFile() const { return privateDir() / "secret"; }
  fs::path soundBird() const { return root_ / "ok.bird"; }
  fs::path image() const { return root_ / "image.bin"; }
  std::string buildFile() const { return std::to_string(firmware_.build) + ".bird"; }

  // A link in the store's place of `at` to `target`.
  fs::path link(const fs::path& at, const fs::path& target) {
    fs::remove_all(at);
    fs::create_symlink(target, at);
    return at;
  }
  fs::path fifo(const fs::path& at) {
    fs::remove_all(at);
    EXPECT_EQ(0, ::mkfifo(at.c_str(), 0644));
    return at;
  }

  ProcessResult run(std::vector<std::string> args) {
    for (std::string& a : args) {
      if (a == "SN") a = hex8(kModule);
      if (a == "BIRD") a = soundBird().string();
    }
    // A run that waits on a FIFO for ever is ended (status 124) by the bound.
    std::vector<std::string> argv{"/usr/bin/timeout", "30",          USBSIM_BIN,        "--serial", hex8(kModule),
                                  "--address",        "6",           "--image-out",     image().string(),
                                  "--",               "-u",          server_.url(),     "-i",       root_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
  }

  fs::path root_;
  Firmware firmware_;
  updatesim::UpdateServer server_;
};

TEST_P(StoreRefusal, RefusedAtOnceAndNothingCrossesTheLink) {
  const RefusalCase& c = GetParam();
  const fs::path named = c.plant(*this);
  const auto privateBefore = snapshot(privateDir());
  const auto storeBefore = snapshot(root_ / "updater");

  const ProcessResult r = run(c.args);

  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.out + r.err, named.string() + " " + c.what)) << r.out << r.err;
  EXPECT_EQ(snapshot(privateDir()), privateBefore) << "written through the store";
  EXPECT_EQ(snapshot(root_ / "updater"), storeBefore) << "the store changed";
  EXPECT_TRUE(!fs::exists(image()) || readFile(image()).empty()) << "the module was sent firmware";
  const std::string all = r.out + r.err;
  EXPECT_FALSE(contains(all, "hunter2")) << all;
}

// The private file's text must not reach the store: a refused run leaves it
// where it was, readable only by its owner.
INSTANTIATE_TEST_SUITE_P(
    Store, StoreRefusal,
    ::testing::Values(
        RefusalCase{"HoldFileLinkedIntoAPrivateDirectory",
                    [](StoreRefusal& t) {
                      return t.link(t.entry() / ".update.lock", t.privateDir() / "made-by-updater");
                    },
                    {"-U", "-d", "SN", "-f", "BIRD"},
                    "is a symbolic link"},
        RefusalCase{"SettingsLinkedToAPrivateFileOnGet",
                    [](StoreRefusal& t) { return t.link(t.entry() / ".settings", t.secretFile()); },
                    {"-G", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"SettingsLinkedToAPrivateFileOnUpdate",
                    [](StoreRefusal& t) { return t.link(t.entry() / ".settings", t.secretFile()); },
                    {"-U", "-d", "SN", "-f", "BIRD"},
                    "is a symbolic link"},
        RefusalCase{"SettingsLinkedToAPrivateFileOnList",
                    [](StoreRefusal& t) { return t.link(t.entry() / ".settings", t.secretFile()); },
                    {"-L", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"EntryLinkedToAPrivateDirectoryOnGet",
                    [](StoreRefusal& t) { return t.link(t.entry(), t.privateDir()); },
                    {"-G", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"EntryLinkedToAPrivateDirectoryOnUpdate",
                    [](StoreRefusal& t) { return t.link(t.entry(), t.privateDir()); },
                    {"-U", "-d", "SN", "-f", "BIRD"},
                    "is a symbolic link"},
        RefusalCase{"EntryLinkedToAPrivateDirectoryOnList",
                    [](StoreRefusal& t) { return t.link(t.entry(), t.privateDir()); },
                    {"-L", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"SettingsFifoOnList",
                    [](StoreRefusal& t) { return t.fifo(t.entry() / ".settings"); },
                    {"-L", "-d", "SN"},
                    "is not a regular file"},
        RefusalCase{"SettingsFifoOnGet",
                    [](StoreRefusal& t) { return t.fifo(t.entry() / ".settings"); },
                    {"-G", "-d", "SN"},
                    "is not a regular file"},
        RefusalCase{"SettingsFifoOnUpdate",
                    [](StoreRefusal& t) { return t.fifo(t.entry() / ".settings"); },
                    {"-U", "-d", "SN", "-f", "BIRD"},
                    "is not a regular file"},
        // A stored build that is a link is not read, and not fetched over.
        RefusalCase{"StoredBuildLinkedOnUpdate",
                    [](StoreRefusal& t) {
                      fs::copy_file(t.soundBird(), t.privateDir() / "theirs.bird");
                      return t.link(t.entry() / t.buildFile(), t.privateDir() / "theirs.bird");
                    },
                    {"-U", "-d", "SN", "-b", "99528558"},
                    "is a symbolic link"},
        RefusalCase{"StoredBuildLinkedOnList",
                    [](StoreRefusal& t) {
                      fs::copy_file(t.soundBird(), t.privateDir() / "theirs.bird");
                      return t.link(t.entry() / t.buildFile(), t.privateDir() / "theirs.bird");
                    },
                    {"-L", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"StoredBuildLinkedOnGet",
                    [](StoreRefusal& t) {
                      return t.link(t.entry() / t.buildFile(), t.privateDir() / "made-by-updater.bird");
                    },
                    {"-G", "-d", "SN"},
                    "is a symbolic link"},
        RefusalCase{"StoredBuildFifoOnUpdate",
                    [](StoreRefusal& t) { return t.fifo(t.entry() / t.buildFile()); },
                    {"-U", "-d", "SN", "-b", "99528558"},
                    "is not a regular file"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

}  // namespace
