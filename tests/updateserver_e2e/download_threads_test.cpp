// A download through the updater's worker thread, with the simulated server
// running as its own program, so a ThreadSanitizer build of the updater sees
// only its own threads.
#include "BirdFixture.h"
#include "run_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Case {
  const char* name;
  const char* faultLine; // appended to the server's config
  int status;
  const char* request;   // the last request line the server logged
};

class DownloadWorker : public ::testing::TestWithParam<Case> {};

TEST_P(DownloadWorker, DownloadsThroughTheWorker)
{
  const Case& c = GetParam();
  const fs::path root = fs::temp_directory_path() / ("server-threads-" + std::to_string(::getpid()) + c.name);
  fs::remove_all(root);
  fs::create_directories(root);

  birdsim::Image image;
  image.blocks.push_back(birdsim::firmware(0x1000, noise(5000, 7)));
  image.blocks.push_back(birdsim::descriptor(4242, "2.11.5", 0x0000ABCD, "JV-HUB8"));
  const birdsim::Bytes bird = birdsim::file(image);
  std::string why;
  ASSERT_TRUE(birdsim::writeFile((root / "4242.bird").string(), bird, &why)) << why;
  {
    std::ofstream cfg(root / "server.cfg");
    cfg << "device 0000ABCD\nlatest 4242\nfirmware FW-9\nbuild 4242 2.11.5 4242.bird\n" << c.faultLine << "\n";
  }

  const fs::path log = root / "requests.log";
  Background server = startBackground({SIM_BIN, "--config", (root / "server.cfg").string(), "--log", log.string()});
  ASSERT_GT(server.pid, 0);
  const std::string portLine = readLine(server);
  const std::string url = readLine(server);
  ASSERT_EQ(0u, portLine.rfind("PORT ", 0)) << portLine;

  const ProcessResult r = runProcess({UPDATER_BIN, "-u", url, "-i", root.string(), "-G", "-d", "ABCD"});
  EXPECT_EQ(0, stopBackground(server));
  EXPECT_EQ(c.status, r.status) << r.out << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("ThreadSanitizer")) << r.err;

  const fs::path stored = root / "updater" / "0000ABCD" / "4242.bird";
  if (c.status == 0)
    EXPECT_EQ(std::string(bird.begin(), bird.end()), readFile(stored));
  else
    EXPECT_FALSE(fs::exists(stored));

  const std::string requests = readFile(log);
  const std::string last = requests.substr(requests.rfind('\n', requests.size() - 2) + 1);
  EXPECT_EQ(std::string(c.request) + "\n", last) << requests;
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Server, DownloadWorker,
    ::testing::Values(
        Case{"prompt", "", 0, "GET /cgi/u?bld=4242&fw=FW-9&no_cal=false&op=bird&sn=0000ABCD& HTTP/1.1"},
        Case{"delayed", "fault bird delay 700", 0, "GET /cgi/u?bld=4242&fw=FW-9&no_cal=false&op=bird&sn=0000ABCD& HTTP/1.1"},
        Case{"cut", "fault bird cut", 1, "GET /cgi/u?bld=4242&fw=FW-9&no_cal=false&op=bird&sn=0000ABCD& HTTP/1.1"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
