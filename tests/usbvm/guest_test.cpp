// Runs inside the scripts/usbvm guest: a real USB host stack (libusb over
// usbfs on dummy_hcd) against the usbgadget simulated module. Checks what the
// product's USB driver relies on: how the module enumerates, how bulk
// transfers are cut into packets at both speeds, that stalled endpoints clear,
// what a transfer sees when the device leaves the bus under it, and that the
// gadget's relay carries a module's bytes and its restarts.
#include <gtest/gtest.h>
#include <libusb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "GadgetBus.h"
#include "usb_gadget.h"

namespace usbvm {
namespace {

// The module's device, opened and claimed the way the product's driver does:
// the family's vendor id, a product id below 0x8000, the serial-number string
// compared exactly, the interface found by class, subclass and protocol.
struct Module {
  libusb_context* ctx = nullptr;
  libusb_device_handle* handle = nullptr;
  int interface = -1;
  uint8_t outEp = 0, inEp = 0;
  uint16_t outMax = 0, inMax = 0;
  uint16_t productId = 0;
  std::string serial;
  int speed = LIBUSB_SPEED_UNKNOWN;

  ~Module() { close(); }

  void close() {
    if (handle) {
      if (interface >= 0) libusb_release_interface(handle, interface);
      libusb_close(handle);
    }
    handle = nullptr;
    interface = -1;
    if (ctx) libusb_exit(ctx);
    ctx = nullptr;
  }

  // A fresh context each time: without a udev daemon in the guest, an
  // existing context never hears of devices that arrive later.
  bool open(milliseconds limit) {
    auto deadline = Clock::now() + limit;
    do {
      close();
      if (libusb_init(&ctx) != 0) return false;
      if (tryOpen()) return true;
      std::this_thread::sleep_for(milliseconds(100));
    } while (Clock::now() < deadline);
    close();
    return false;
  }

  bool tryOpen() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    bool found = false;
    for (ssize_t i = 0; i < n && !found; ++i) {
      libusb_device_descriptor dd{};
      if (libusb_get_device_descriptor(list[i], &dd) != 0) continue;
      if (dd.idVendor != kVendorId || (dd.idProduct & 0x8000)) continue;
      libusb_device_handle* h = nullptr;
      if (libusb_open(list[i], &h) != 0) continue;
      unsigned char text[256] = {};
      int len = libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, text, sizeof text);
      if (len <= 0 || std::string(reinterpret_cast<char*>(text), static_cast<size_t>(len)) != kSerial ||
          !findInterface(list[i]) || libusb_claim_interface(h, interface) != 0) {
        libusb_close(h);
        interface = -1;
        continue;
      }
      handle = h;
      productId = dd.idProduct;
      serial.assign(reinterpret_cast<char*>(text), static_cast<size_t>(len));
      speed = libusb_get_device_speed(list[i]);
      found = true;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return found;
  }

  bool findInterface(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &cfg) != 0) return false;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
      for (int a = 0; a < cfg->interface[i].num_altsetting; ++a) {
        const libusb_interface_descriptor& d = cfg->interface[i].altsetting[a];
        if (d.bInterfaceClass != 0xFF || d.bInterfaceSubClass != 0x88 || d.bInterfaceProtocol != 0x10)
          continue;
        interface = d.bInterfaceNumber;
        for (int e = 0; e < d.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = d.endpoint[e];
          if (!(ep.bmAttributes & 0x02)) continue;
          if (ep.bEndpointAddress & 0x80) {
            inEp = ep.bEndpointAddress;
            inMax = ep.wMaxPacketSize;
          } else {
            outEp = ep.bEndpointAddress;
            outMax = ep.wMaxPacketSize;
          }
        }
      }
    }
    libusb_free_config_descriptor(cfg);
    return interface >= 0 && inEp != 0 && outEp != 0;
  }

  int write(const uint8_t* data, size_t n, int* sent, unsigned timeoutMs = 1000) {
    return libusb_bulk_transfer(handle, outEp, const_cast<uint8_t*>(data), static_cast<int>(n), sent,
                                timeoutMs);
  }

  // Reads like the driver: 1024-byte transfers, a time-out that brought
  // bytes still counts as data. Collects `want` bytes or gives up at `limit`.
  std::vector<uint8_t> readExactly(size_t want, milliseconds limit, std::vector<int>* codes = nullptr) {
    std::vector<uint8_t> got;
    auto deadline = Clock::now() + limit;
    while (got.size() < want && Clock::now() < deadline) {
      uint8_t buf[1024];
      int n = 0;
      int rc = libusb_bulk_transfer(handle, inEp, buf, sizeof buf, &n, 1000);
      if (codes) codes->push_back(rc);
      if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
};

class OnBus : public ::testing::TestWithParam<SpeedCase> {
 protected:
  void SetUp() override {
    std::string problem = Bus::get().use(GetParam().speed);
    ASSERT_EQ(problem, "");
    ASSERT_TRUE(module.open(milliseconds(10000))) << "module " << kSerial << " not found; gadget events:\n"
                                                  << Bus::get().eventLog();
    Bus::get().newTransfers();  // start each test with a clean transcript
  }

  void roundTrip(const std::vector<uint8_t>& data) {
    int sent = 0;
    ASSERT_EQ(module.write(data.data(), data.size(), &sent), 0);
    ASSERT_EQ(static_cast<size_t>(sent), data.size());
    auto back = module.readExactly(data.size(), milliseconds(5000));
    EXPECT_EQ(back, data) << "gadget events:\n" << Bus::get().eventLog();
  }

  Module module;
};

TEST_P(OnBus, EnumeratesWithTheFamilyIdentityAndInterface) {
  const SpeedCase& sc = GetParam();
  EXPECT_EQ(module.productId & 0x8000, 0);
  EXPECT_EQ(module.productId & 0xFF, 0x13);
  EXPECT_EQ(module.serial.size(), 8u);
  EXPECT_EQ(module.serial.find_first_not_of("0123456789ABCDEF"), std::string::npos) << module.serial;
  EXPECT_EQ(module.speed, sc.libusbSpeed);
  EXPECT_EQ(module.outMax, sc.maxPacket);
  EXPECT_EQ(module.inMax, sc.maxPacket);
  EXPECT_EQ(module.outEp & 0x80, 0);
  EXPECT_EQ(module.inEp & 0x80, 0x80);
  // The controller renumbers endpoints: they must come from the descriptors.
  EXPECT_NE(module.outEp & 0x0F, module.inEp & 0x0F);
}

// How bulk OUT transfers reach the device as packets: whole packets of the
// maximum size and a short last one, so a transfer that ends on a packet
// boundary leaves the device waiting for more unless the sender cut it
// short (the driver's 511-byte rule).
struct ChunkCase {
  const char* name;
  size_t total;
  bool cutLikeDriver;  // cut into chunks of at most max packet, 512 sent as 511
};

TEST_P(OnBus, BulkTransfersArriveAsPacketsAndEchoIntact) {
  const size_t mp = GetParam().maxPacket;
  const ChunkCase cases[] = {
      {"one byte", 1, false},
      {"one link packet", 30, false},
      {"just under a packet", mp - 1, false},
      {"exactly a packet", mp, false},
      {"a packet and one", mp + 1, false},
      {"1024 in one transfer", 1024, false},
      {"1024 in driver chunks", 1024, true},
      {"4096 in driver chunks", 4096, true},
  };
  unsigned seed = 0;
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = pattern(c.total, ++seed);
    std::vector<size_t> chunks = c.cutLikeDriver ? driverChunks(c.total, mp) : std::vector<size_t>{c.total};
    size_t at = 0;
    for (size_t n : chunks) {
      int sent = 0;
      ASSERT_EQ(module.write(data.data() + at, n, &sent), 0);
      ASSERT_EQ(static_cast<size_t>(sent), n);
      at += n;
    }
    auto back = module.readExactly(c.total, milliseconds(5000));
    EXPECT_EQ(back, data);

    EXPECT_EQ(Bus::get().newOutPackets(), outPackets(chunks, mp));
  }
}

TEST_P(OnBus, ReadOfAFullPacketEndsAtTheZeroLengthPacketNotTheTimeout) {
  const size_t mp = GetParam().maxPacket;
  auto data = pattern(mp, 99);
  int sent = 0;
  ASSERT_EQ(module.write(data.data(), data.size(), &sent), 0);
  std::vector<int> codes;
  auto back = module.readExactly(mp, milliseconds(5000), &codes);
  EXPECT_EQ(back, data);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), 0) << "the read waited for its time-out: no zero-length packet";
}

struct HaltCase {
  const char* name;
  const char* command;
  bool in;
};

TEST_P(OnBus, StalledEndpointClearsAndTrafficResumes) {
  const HaltCase cases[] = {{"bulk IN", "halt in", true}, {"bulk OUT", "halt out", false}};
  unsigned seed = 40;
  for (const HaltCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t mark = Bus::get().eventMark();
    Bus::get().command(c.command);
    ASSERT_TRUE(Bus::get().waitEvent(c.command, mark, milliseconds(3000))) << Bus::get().eventLog();
    auto data = pattern(30, ++seed);
    int n = 0;
    if (c.in) {
      uint8_t buf[1024];
      EXPECT_EQ(libusb_bulk_transfer(module.handle, module.inEp, buf, sizeof buf, &n, 1000),
                LIBUSB_ERROR_PIPE);
      EXPECT_EQ(libusb_clear_halt(module.handle, module.inEp), 0);
    } else {
      EXPECT_EQ(module.write(data.data(), data.size(), &n), LIBUSB_ERROR_PIPE);
      EXPECT_EQ(libusb_clear_halt(module.handle, module.outEp), 0);
    }
    roundTrip(data);
  }
}

// A module restarting into its loader leaves the bus while the host may be
// blocked in a read. The read must end with an error, not hang to its
// time-out, and the same module must be found again when it comes back.
struct VanishCase {
  const char* name;
  const char* command;  // how the device goes
  bool needsReturn;     // it comes back only when told to
};

constexpr VanishCase kVanishCases[] = {
    {"restart", "restart 300", false},
    {"leave, then return", "leave", true},
};

TEST_P(OnBus, DeviceVanishingEndsTheTransferAndComesBack) {
  unsigned seed = 70;
  for (const VanishCase& c : kVanishCases) {
    SCOPED_TRACE(c.name);
    uint8_t buf[1024];
    bool done = false;
    libusb_transfer* t = libusb_alloc_transfer(0);
    ASSERT_NE(t, nullptr);
    libusb_fill_bulk_transfer(
        t, module.handle, module.inEp, buf, sizeof buf,
        [](libusb_transfer* tr) { *static_cast<bool*>(tr->user_data) = true; }, &done, 10000);
    ASSERT_EQ(libusb_submit_transfer(t), 0);

    size_t mark = Bus::get().eventMark();
    auto started = Clock::now();
    Bus::get().command(c.command);
    ASSERT_TRUE(Bus::get().waitEvent("detach", mark, milliseconds(3000))) << Bus::get().eventLog();
    while (!done && Clock::now() - started < milliseconds(15000)) {
      timeval tv{0, 200000};
      libusb_handle_events_timeout_completed(module.ctx, &tv, nullptr);
    }
    ASSERT_TRUE(done) << "the transfer outlived the device";
    EXPECT_TRUE(t->status == LIBUSB_TRANSFER_NO_DEVICE || t->status == LIBUSB_TRANSFER_ERROR ||
                t->status == LIBUSB_TRANSFER_CANCELLED)
        << "status " << t->status;
    // Well before the transfer's own 10 s time-out.
    EXPECT_LT(Clock::now() - started, milliseconds(8000));
    libusb_free_transfer(t);

    // The old handle stays dead even once the device is back: usbfs answers
    // a transfer on it with an I/O error or no-device, never success.
    int n = 0;
    uint8_t one = 0;
    int rc = module.write(&one, 1, &n);
    EXPECT_TRUE(rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_IO) << libusb_error_name(rc);

    if (c.needsReturn) Bus::get().command("return");
    ASSERT_TRUE(Bus::get().waitEvent("enable", mark, milliseconds(10000))) << Bus::get().eventLog();
    ASSERT_TRUE(module.open(milliseconds(10000))) << "the module did not come back";
    roundTrip(pattern(30, ++seed));
  }
}

// Bytes the device had queued for a host that then lost it (echoed, never
// read) are not for the host that finds it again: after it comes back, a
// read gets only what was sent since. More than the 64 bytes that the
// controller takes off an IN request at once and loses when the device goes.
TEST_P(OnBus, BytesLeftUnreadDoNotReachTheHostAfterTheDeviceReturns) {
  unsigned seed = 80;
  for (const VanishCase& c : kVanishCases) {
    SCOPED_TRACE(c.name);
    auto unread = pattern(300, ++seed);
    int sent = 0;
    ASSERT_EQ(module.write(unread.data(), unread.size(), &sent), 0);
    // Taken in by the gadget and queued on bulk IN before the device goes.
    ASSERT_TRUE(Bus::get().waitTransfer(outPackets({unread.size()}, GetParam().maxPacket).back(),
                                        milliseconds(3000)));

    size_t mark = Bus::get().eventMark();
    Bus::get().command(c.command);
    ASSERT_TRUE(Bus::get().waitEvent("detach", mark, milliseconds(3000))) << Bus::get().eventLog();
    if (c.needsReturn) Bus::get().command("return");
    ASSERT_TRUE(Bus::get().waitEvent("enable", mark, milliseconds(10000))) << Bus::get().eventLog();
    ASSERT_TRUE(module.open(milliseconds(10000))) << "the module did not come back";
    roundTrip(pattern(30, ++seed));
  }
}

// Stands where the simulated module's TCP listener will: the gadget relays
// the endpoints to it, and its going away is the module restarting.
class TcpPeer {
 public:
  TcpPeer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 4) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      std::abort();
    port_ = ntohs(a.sin_port);
  }
  ~TcpPeer() {
    dropClient();
    stopListening();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  bool accept(milliseconds limit) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
    dropClient();
    client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
  }
  void dropClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }
  void stopListening() {
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
  }
  bool send(const std::vector<uint8_t>& d) {
    return ::send(client_, d.data(), d.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(d.size());
  }
  std::vector<uint8_t> receive(size_t want, milliseconds limit) {
    std::vector<uint8_t> got;
    auto deadline = Clock::now() + limit;
    while (got.size() < want) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      pollfd p{client_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) break;
      uint8_t buf[4096];
      ssize_t n = ::recv(client_, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int listen_ = -1, client_ = -1;
  uint16_t port_ = 0;
};

class Relay : public ::testing::TestWithParam<SpeedCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(Bus::get().use(GetParam().speed, {"--connect", peer.address(), "--gap-ms", "200",
                                                "--reconnect-ms", "1500"}),
              "");
    ASSERT_TRUE(peer.accept(milliseconds(5000))) << "the gadget did not connect";
    ASSERT_TRUE(module.open(milliseconds(10000))) << Bus::get().eventLog();
  }
  void TearDown() override { module.close(); }

  TcpPeer peer;
  Module module;
};

TEST_P(Relay, CarriesBytesBothWays) {
  const size_t sizes[] = {30, 511, 1024, 4096};
  unsigned seed = 100;
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    auto toModule = pattern(n, ++seed);
    int sent = 0;
    ASSERT_EQ(module.write(toModule.data(), n, &sent), 0);
    EXPECT_EQ(peer.receive(n, milliseconds(5000)), toModule);
    auto toHost = pattern(n, ++seed);
    ASSERT_TRUE(peer.send(toHost));
    EXPECT_EQ(module.readExactly(n, milliseconds(5000)), toHost);
  }
}

TEST_P(Relay, PeerClosingTakesTheDeviceOffTheBusUntilItReconnects) {
  size_t mark = Bus::get().eventMark();
  peer.dropClient();
  ASSERT_TRUE(Bus::get().waitEvent("detach", mark, milliseconds(3000))) << Bus::get().eventLog();
  uint8_t buf[64];
  int n = 0;
  EXPECT_NE(libusb_bulk_transfer(module.handle, module.inEp, buf, sizeof buf, &n, 1000), 0);
  ASSERT_TRUE(peer.accept(milliseconds(5000))) << "the gadget did not come back to the peer";
  ASSERT_TRUE(Bus::get().waitEvent("enable", mark, milliseconds(10000))) << Bus::get().eventLog();
  ASSERT_TRUE(module.open(milliseconds(10000)));
  auto data = pattern(30, 7);
  int sent = 0;
  ASSERT_EQ(module.write(data.data(), data.size(), &sent), 0);
  EXPECT_EQ(peer.receive(data.size(), milliseconds(5000)), data);
}

TEST_P(Relay, PeerThatNeverComesBackLeavesTheDeviceGone) {
  size_t mark = Bus::get().eventMark();
  peer.dropClient();
  peer.stopListening();
  ASSERT_TRUE(Bus::get().waitEvent("peer gone", mark, milliseconds(8000))) << Bus::get().eventLog();
  EXPECT_EQ(Bus::get().waitExit(milliseconds(5000)), std::optional<int>(1));
  module.close();
  EXPECT_FALSE(module.open(milliseconds(1500))) << "a device is still on the bus";
}

// The gadget as a library: what a simulated module linked into the same
// process would use, over a socket pair.
TEST(InProcessGadget, MovesBytesBetweenTheBusAndASocketPair) {
  ASSERT_EQ(Bus::get().use(Speed::High), "");  // a known controller speed
  Bus::get().release();
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  int stop = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(stop, 0);

  usbgadget::Options opt;
  opt.identity.vendorId = kVendorId;
  opt.identity.productId = kProductId;
  opt.name = "inprocess";
  std::mutex m;
  std::vector<std::string> events;  // filled on the loop's thread
  usbgadget::Gadget gadget(opt, [&](const std::string& e) {
    std::lock_guard lock(m);
    events.push_back(e);
  });
  ASSERT_NO_THROW(gadget.setUp());
  std::thread loop([&] { gadget.run(sv[1], -1, stop, nullptr); });

  Module module;
  bool opened = module.open(milliseconds(10000));
  if (opened) {
    auto toModule = pattern(700, 1);
    int sent = 0;
    EXPECT_EQ(module.write(toModule.data(), toModule.size(), &sent), 0);
    std::vector<uint8_t> got(toModule.size());
    size_t have = 0;
    while (have < got.size()) {
      pollfd p{sv[0], POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      ssize_t n = ::read(sv[0], got.data() + have, got.size() - have);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    EXPECT_EQ(got, toModule);
    auto toHost = pattern(300, 2);
    EXPECT_EQ(::write(sv[0], toHost.data(), toHost.size()), static_cast<ssize_t>(toHost.size()));
    EXPECT_EQ(module.readExactly(toHost.size(), milliseconds(5000)), toHost);
    module.close();
    std::lock_guard lock(m);
    EXPECT_NE(std::find(events.begin(), events.end(), "enable high-speed out=512 in=512"), events.end());
  }
  uint64_t one = 1;
  EXPECT_EQ(::write(stop, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  loop.join();
  EXPECT_FALSE(gadget.attached());
  ::close(stop);
  ::close(sv[0]);
  ASSERT_TRUE(opened) << "the in-process gadget did not enumerate";
}

INSTANTIATE_TEST_SUITE_P(HighSpeed, Relay, ::testing::Values(SpeedCase{Speed::High, 512, LIBUSB_SPEED_HIGH}),
                         [](const auto& info) { return speedName(info.param.speed); });
INSTANTIATE_TEST_SUITE_P(HighSpeed, OnBus, ::testing::Values(SpeedCase{Speed::High, 512, LIBUSB_SPEED_HIGH}),
                         [](const auto& info) { return speedName(info.param.speed); });
INSTANTIATE_TEST_SUITE_P(FullSpeed, OnBus, ::testing::Values(SpeedCase{Speed::Full, 64, LIBUSB_SPEED_FULL}),
                         [](const auto& info) { return speedName(info.param.speed); });

}  // namespace
}  // namespace usbvm
