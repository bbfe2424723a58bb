#include "usb_gadget.h"

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace usbgadget {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Endpoint files in the order their descriptors are written: ep1 is bulk OUT,
// ep2 bulk IN. The controller may renumber the addresses the host sees.
constexpr uint8_t kOutAddress = 0x01;
constexpr uint8_t kInAddress = 0x82;
constexpr size_t kMaxPacket = 512;
constexpr size_t kInChunk = 1024;
// Beyond this much data waiting for the other side, a direction stops taking more.
constexpr size_t kBacklog = 64 * 1024;

[[noreturn]] void fail(const std::string& what, int err = errno) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

void put8(std::vector<uint8_t>& b, unsigned v) { b.push_back(static_cast<uint8_t>(v)); }
void put16(std::vector<uint8_t>& b, unsigned v) {
  put8(b, v & 0xFF);
  put8(b, (v >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void patch32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void interfaceAndEndpoints(std::vector<uint8_t>& b, const InterfaceClass& ic, unsigned maxPacket) {
  put8(b, USB_DT_INTERFACE_SIZE);
  put8(b, USB_DT_INTERFACE);
  put8(b, 0);  // interface number
  put8(b, 0);  // alternate setting
  put8(b, 2);  // endpoints
  put8(b, ic.cls);
  put8(b, ic.subclass);
  put8(b, ic.protocol);
  put8(b, 1);  // interface string
  for (uint8_t address : {kOutAddress, kInAddress}) {
    put8(b, USB_DT_ENDPOINT_SIZE);
    put8(b, USB_DT_ENDPOINT);
    put8(b, address);
    put8(b, USB_ENDPOINT_XFER_BULK);
    put16(b, maxPacket);
    put8(b, 0);
  }
}

void writeText(const fs::path& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) fail("open " + path.string());
  ssize_t n = ::write(fd, text.data(), text.size());
  int err = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) fail("write " + path.string(), n < 0 ? err : EIO);
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

std::string hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04x", v & 0xFFFF);
  return buf;
}

// Raw AIO: FunctionFS endpoint files cannot be polled, but AIO completions
// can signal an eventfd, so one poll loop serves ep0, both endpoints, the
// peer and the control channel without threads.
long ioSetup(unsigned n, aio_context_t* ctx) { return syscall(SYS_io_setup, n, ctx); }
long ioDestroy(aio_context_t ctx) { return syscall(SYS_io_destroy, ctx); }
long ioSubmit(aio_context_t ctx, long n, iocb** cbs) { return syscall(SYS_io_submit, ctx, n, cbs); }
long ioGetEvents(aio_context_t ctx, long min, long max, io_event* ev, timespec* t) {
  return syscall(SYS_io_getevents, ctx, min, max, ev, t);
}
long ioCancel(aio_context_t ctx, iocb* cb, io_event* ev) { return syscall(SYS_io_cancel, ctx, cb, ev); }

}  // namespace

std::vector<uint8_t> functionFsDescriptors(const InterfaceClass& ic) {
  std::vector<uint8_t> b;
  put32(b, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  put32(b, 0);  // length, patched below
  put32(b, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  put32(b, 3);  // full-speed descriptor count
  put32(b, 3);  // high-speed descriptor count
  interfaceAndEndpoints(b, ic, 64);
  interfaceAndEndpoints(b, ic, 512);
  patch32(b, 4, static_cast<uint32_t>(b.size()));
  return b;
}

std::vector<uint8_t> functionFsStrings(const std::string& interfaceName) {
  std::vector<uint8_t> b;
  put32(b, FUNCTIONFS_STRINGS_MAGIC);
  put32(b, 0);
  put32(b, 1);  // strings per language
  put32(b, 1);  // languages
  put16(b, 0x0409);
  b.insert(b.end(), interfaceName.begin(), interfaceName.end());
  put8(b, 0);
  patch32(b, 4, static_cast<uint32_t>(b.size()));
  return b;
}

struct Gadget::Impl {
  Options opt;
  EventSink events;
  fs::path gadgetDir, mountDir;
  std::string udc;
  bool madeGadget = false, mounted = false, attached = false;
  int ep0 = -1, epOut = -1, epIn = -1;
  int aioFd = -1;
  aio_context_t aio = 0;
  bool enabled = false;
  size_t outMax = 64, inMax = 64;

  // One request in flight per direction; the IN side may owe a zero-length
  // packet after a write that ended on a packet boundary.
  iocb outCb{}, inCb{};
  bool outBusy = false, inBusy = false, zlpOwed = false;
  // Bytes at the front of toHost that the IN request in flight carries;
  // forgetting toHost forgets them too, so a late completion cannot eat
  // bytes queued after it.
  size_t inCarried = 0;
  std::array<uint8_t, kMaxPacket> outBuf{};
  std::array<uint8_t, kInChunk> inBuf{};
  std::deque<uint8_t> toHost, toPeer;
  bool haltInWanted = false, haltOutWanted = false;
  bool echo = true;

  void event(const std::string& e) {
    if (events) events(e);
  }
  void transcript(const char* dir, long n) {
    if (opt.transcript) {
      std::fprintf(opt.transcript, "%s %ld\n", dir, n);
      std::fflush(opt.transcript);
    }
  }

  void setUp() {
    if (opt.identity.serial.empty()) throw std::runtime_error("the serial number string is empty");
    gadgetDir = fs::path(opt.configfsRoot) / opt.name;
    mountDir = fs::path(opt.mountDir) / opt.name;
    if (!fs::exists(opt.configfsRoot))
      throw std::runtime_error(opt.configfsRoot +
                               " is missing (configfs not mounted or libcomposite not loaded)");
    if (fs::exists(gadgetDir)) removeGadget(gadgetDir);  // left over from a killed run
    udc = opt.udc;
    if (udc.empty()) {
      std::vector<std::string> names;
      std::error_code ec;
      for (auto& e : fs::directory_iterator("/sys/class/udc", ec)) names.push_back(e.path().filename());
      std::sort(names.begin(), names.end());
      if (names.empty()) throw std::runtime_error("no USB device controller in /sys/class/udc");
      udc = names.front();
    }

    if (::mkdir(gadgetDir.c_str(), 0755) != 0) fail("mkdir " + gadgetDir.string());
    madeGadget = true;
    const Identity& id = opt.identity;
    writeText(gadgetDir / "idVendor", hex4(id.vendorId));
    writeText(gadgetDir / "idProduct", hex4(id.productId));
    writeText(gadgetDir / "bcdDevice", hex4(id.bcdDevice));
    writeText(gadgetDir / "bcdUSB", "0x0200");
    fs::path strings = gadgetDir / "strings/0x409";
    if (::mkdir(strings.c_str(), 0755) != 0) fail("mkdir " + strings.string());
    writeText(strings / "serialnumber", id.serial);
    writeText(strings / "manufacturer", id.manufacturer);
    writeText(strings / "product", id.product);
    fs::path config = gadgetDir / "configs/c.1";
    if (::mkdir(config.c_str(), 0755) != 0) fail("mkdir " + config.string());
    writeText(config / "MaxPower", "100");
    fs::path function = gadgetDir / ("functions/ffs." + opt.name);
    if (::mkdir(function.c_str(), 0755) != 0)
      fail("mkdir " + function.string() + " (is usb_f_fs loaded?)");
    if (::symlink(function.c_str(), (config / ("ffs." + opt.name)).c_str()) != 0)
      fail("link the function into the configuration");

    fs::create_directories(mountDir);
    if (::mount(opt.name.c_str(), mountDir.c_str(), "functionfs", 0, nullptr) != 0)
      fail("mount functionfs on " + mountDir.string());
    mounted = true;
    ep0 = ::open((mountDir / "ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0 < 0) fail("open ep0");
    auto descs = functionFsDescriptors(opt.interfaceClass);
    if (::write(ep0, descs.data(), descs.size()) != static_cast<ssize_t>(descs.size()))
      fail("write the FunctionFS descriptors");
    auto strs = functionFsStrings("Module link");
    if (::write(ep0, strs.data(), strs.size()) != static_cast<ssize_t>(strs.size()))
      fail("write the FunctionFS strings");
    // Non-blocking, so that a request submitted just as the host disables
    // the interface fails at once instead of stalling the loop until the
    // next enable.
    epOut = ::open((mountDir / "ep1").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (epOut < 0) fail("open ep1");
    epIn = ::open((mountDir / "ep2").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (epIn < 0) fail("open ep2");
    aioFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (aioFd < 0) fail("eventfd");
    if (ioSetup(8, &aio) != 0) fail("io_setup");
  }

  static void removeGadget(const fs::path& dir) {
    // configfs wants the exact reverse of the creation order; plain
    // recursive removal does not work there.
    std::error_code ec;
    std::string name;
    if (fs::exists(dir / "UDC")) {
      int fd = ::open((dir / "UDC").c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) {
        if (::write(fd, "\n", 1) < 0) { /* already unbound */ }
        ::close(fd);
      }
    }
    for (auto& c : fs::directory_iterator(dir / "configs", ec)) {
      for (auto& l : fs::directory_iterator(c.path(), ec))
        if (fs::is_symlink(l.symlink_status())) ::unlink(l.path().c_str());
      ::rmdir((c.path() / "strings/0x409").c_str());
      ::rmdir(c.path().c_str());
    }
    for (auto& f : fs::directory_iterator(dir / "functions", ec)) ::rmdir(f.path().c_str());
    ::rmdir((dir / "strings/0x409").c_str());
    ::rmdir(dir.c_str());
  }

  void tearDown() {
    detach();
    if (aio) ioDestroy(aio);
    aio = 0;
    for (int* fd : {&epIn, &epOut, &ep0, &aioFd}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    if (mounted) ::umount(mountDir.c_str());
    mounted = false;
    if (madeGadget) removeGadget(gadgetDir);
    madeGadget = false;
  }

  void attach() {
    if (attached) return;
    writeText(gadgetDir / "UDC", udc);
    attached = true;
    event("attach udc=" + udc);
  }

  // Leaves the bus and settles the requests that were in flight. The host
  // that went away is not the next one: what was queued for it is dropped
  // here rather than on FunctionFS's disable event, which the unbind that
  // follows it at once removes from ep0's queue before it can be read.
  void detach() {
    if (!attached) return;
    writeText(gadgetDir / "UDC", "\n");
    attached = false;
    enabled = false;
    event("detach");
    drainRequests();
    forgetHost();
  }

  void forgetHost() {
    toHost.clear();
    inCarried = 0;
    zlpOwed = false;
  }

  // --- data path -------------------------------------------------------

  size_t endpointMaxPacket(int fd) {
    std::array<uint8_t, sizeof(usb_endpoint_descriptor)> d{};
    if (::ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, d.data()) != 0) return 0;
    return static_cast<size_t>(d[4] | (d[5] << 8)) & 0x7FF;
  }

  void submit(iocb& cb, int fd, unsigned opcode, void* buf, size_t n, uint64_t tag) {
    cb = iocb{};
    cb.aio_data = tag;
    cb.aio_lio_opcode = static_cast<uint16_t>(opcode);
    cb.aio_fildes = static_cast<uint32_t>(fd);
    cb.aio_buf = reinterpret_cast<uint64_t>(buf);
    cb.aio_nbytes = n;
    cb.aio_flags = IOCB_FLAG_RESFD;
    cb.aio_resfd = static_cast<uint32_t>(aioFd);
    iocb* list[1] = {&cb};
    if (ioSubmit(aio, 1, list) != 1) fail("io_submit");
  }

  void pump() {
    if (!enabled) return;
    if (haltOutWanted) {
      // FunctionFS halts an endpoint on I/O against its direction.
      uint8_t b = 0;
      if (::write(epOut, &b, 1) < 0 && errno == EBADMSG) event("halt out");
      haltOutWanted = false;
    }
    if (!outBusy && (echo ? toHost : toPeer).size() < kBacklog) {
      // One packet per request, so the transcript shows packets as sent.
      submit(outCb, epOut, IOCB_CMD_PREAD, outBuf.data(), outMax, 1);
      outBusy = true;
    }
    if (inBusy) return;
    if (haltInWanted) {
      // The controller refuses to halt an IN endpoint with a request
      // queued, hence only here, between writes.
      uint8_t b = 0;
      if (::read(epIn, &b, 1) < 0 && errno == EBADMSG) event("halt in");
      haltInWanted = false;
    }
    if (zlpOwed) {
      submit(inCb, epIn, IOCB_CMD_PWRITE, inBuf.data(), 0, 2);
      inBusy = true;
      inCarried = 0;
      zlpOwed = false;
      return;
    }
    if (!toHost.empty()) {
      size_t n = std::min(toHost.size(), inBuf.size());
      std::copy_n(toHost.begin(), n, inBuf.begin());
      submit(inCb, epIn, IOCB_CMD_PWRITE, inBuf.data(), n, 2);
      inBusy = true;
      inCarried = n;
    }
  }

  void completions() {
    uint64_t count = 0;
    if (::read(aioFd, &count, sizeof count) < 0) return;
    std::array<io_event, 4> ev{};
    timespec zero{0, 0};
    long n;
    while ((n = ioGetEvents(aio, 0, static_cast<long>(ev.size()), ev.data(), &zero)) > 0)
      for (long i = 0; i < n; ++i) complete(ev[i]);
  }

  void complete(const io_event& ev) {
    long res = static_cast<long>(ev.res);
    if (ev.data == 1) {
      outBusy = false;
      if (res > 0) {
        transcript("out", res);
        auto& dst = echo ? toHost : toPeer;
        dst.insert(dst.end(), outBuf.begin(), outBuf.begin() + res);
      }
    } else {
      inBusy = false;
      size_t carried = std::exchange(inCarried, 0);
      if (res >= 0) {
        transcript("in", res);
        // The host has these bytes: they must not go out again.
        size_t sent = static_cast<size_t>(res);
        toHost.erase(toHost.begin(), toHost.begin() + std::min({sent, carried, toHost.size()}));
        if (sent > 0 && sent % inMax == 0 && opt.zeroLengthPackets) zlpOwed = true;
      }
    }
  }

  void ep0Events() {
    std::array<usb_functionfs_event, 4> ev{};
    ssize_t n = ::read(ep0, ev.data(), sizeof ev);
    if (n <= 0) return;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(usb_functionfs_event); ++i) {
      switch (ev[i].type) {
        case FUNCTIONFS_BIND: event("bind"); break;
        case FUNCTIONFS_UNBIND: event("unbind"); break;
        case FUNCTIONFS_ENABLE: {
          enabled = true;
          outMax = std::clamp<size_t>(endpointMaxPacket(epOut), 8, kMaxPacket);
          inMax = std::clamp<size_t>(endpointMaxPacket(epIn), 8, kMaxPacket);
          std::string speed = readText(fs::path("/sys/class/udc") / udc / "current_speed");
          event("enable " + speed + " out=" + std::to_string(outMax) + " in=" + std::to_string(inMax));
          break;
        }
        case FUNCTIONFS_DISABLE:
          enabled = false;
          // What was meant for a host that went away is not for the next one.
          forgetHost();
          event("disable");
          break;
        case FUNCTIONFS_SETUP: {
          // No class or vendor requests are defined: stall them by I/O
          // against the data stage's direction.
          uint8_t b = 0;
          if (ev[i].u.setup.bRequestType & USB_DIR_IN) {
            if (::read(ep0, &b, 0) < 0) { /* stalled */ }
          } else {
            if (::write(ep0, &b, 0) < 0) { /* stalled */ }
          }
          event("setup stalled");
          break;
        }
        case FUNCTIONFS_SUSPEND: event("suspend"); break;
        case FUNCTIONFS_RESUME: event("resume"); break;
        default: break;
      }
    }
  }

  // Waits for the requests in flight after a detach, so their buffers are
  // no longer the kernel's when they are reused. A request may have been
  // done before the detach with its completion still on its way: it counts
  // like any other (OUT bytes the host sent go on, IN bytes it got are not
  // sent again).
  void drainRequests() {
    for (iocb* cb : {&outCb, &inCb}) {
      bool busy = (cb == &outCb) ? outBusy : inBusy;
      if (!busy) continue;
      io_event ev{};
      ioCancel(aio, cb, &ev);
    }
    timespec wait{1, 0};
    while (outBusy || inBusy) {
      std::array<io_event, 2> ev{};
      long n = ioGetEvents(aio, 1, 2, ev.data(), &wait);
      if (n <= 0) break;
      for (long i = 0; i < n; ++i) complete(ev[i]);
    }
    uint64_t count;
    if (::read(aioFd, &count, sizeof count) < 0) { /* nothing pending */ }
  }

  void run(int peer, int control, int stop, const PeerReconnect& reconnect) {
    echo = peer < 0;
    std::string controlLine;
    std::optional<Clock::time_point> returnAt;
    bool quit = false;
    attach();
    while (!quit) {
      pump();
      std::vector<pollfd> fds;
      fds.push_back({ep0, POLLIN, 0});
      fds.push_back({aioFd, POLLIN, 0});
      int peerIdx = -1, controlIdx = -1, stopIdx = -1;
      if (!echo && peer >= 0) {
        short want = 0;
        if (toHost.size() < kBacklog) want |= POLLIN;
        if (!toPeer.empty()) want |= POLLOUT;
        peerIdx = static_cast<int>(fds.size());
        fds.push_back({peer, want, 0});
      }
      if (control >= 0) {
        controlIdx = static_cast<int>(fds.size());
        fds.push_back({control, POLLIN, 0});
      }
      if (stop >= 0) {
        stopIdx = static_cast<int>(fds.size());
        fds.push_back({stop, POLLIN, 0});
      }
      int timeout = -1;
      if (returnAt) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*returnAt - Clock::now());
        timeout = static_cast<int>(std::max<long>(0, left.count()));
      }
      int r = ::poll(fds.data(), fds.size(), timeout);
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("poll");
      }
      if (returnAt && Clock::now() >= *returnAt) {
        returnAt.reset();
        attach();
      }
      if (fds[0].revents & POLLIN) ep0Events();
      if (fds[1].revents & POLLIN) completions();
      if (stopIdx >= 0 && fds[stopIdx].revents) quit = true;
      if (peerIdx >= 0) {
        short re = fds[peerIdx].revents;
        bool closed = false;
        if (re & POLLOUT) {
          std::array<uint8_t, 4096> buf;
          size_t n = std::min(toPeer.size(), buf.size());
          std::copy_n(toPeer.begin(), n, buf.begin());
          ssize_t w = ::write(peer, buf.data(), n);
          if (w > 0) toPeer.erase(toPeer.begin(), toPeer.begin() + w);
          else if (w < 0 && errno != EAGAIN && errno != EINTR) closed = true;
        }
        if (re & (POLLIN | POLLHUP | POLLERR)) {
          std::array<uint8_t, 4096> buf;
          ssize_t n = ::read(peer, buf.data(), buf.size());
          if (n > 0) toHost.insert(toHost.end(), buf.begin(), buf.begin() + n);
          else if (n == 0 || (errno != EAGAIN && errno != EINTR)) closed = true;
        }
        if (closed) {
          // The module behind the pipe went away (a restart): so does the
          // device, until a new peer is there.
          event("peer closed");
          ::close(peer);
          peer = -1;
          detach();
          toPeer.clear();
          peer = reconnect ? reconnect() : -1;
          if (peer < 0) {
            event("peer gone");
            quit = true;
          } else {
            event("peer connected");
            attach();
          }
        }
      }
      if (controlIdx >= 0 && (fds[controlIdx].revents & POLLIN)) {
        char buf[256];
        ssize_t n = ::read(control, buf, sizeof buf);
        if (n > 0) controlLine.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = controlLine.find('\n')) != std::string::npos) {
          std::string line = controlLine.substr(0, nl);
          controlLine.erase(0, nl + 1);
          quit = command(line, returnAt) || quit;
        }
      }
    }
    if (peer >= 0 && !echo) ::close(peer);
    detach();
  }

  // Returns true for quit.
  bool command(const std::string& line, std::optional<Clock::time_point>& returnAt) {
    std::istringstream in(line);
    std::string verb, arg;
    in >> verb >> arg;
    if (verb == "leave") {
      detach();
    } else if (verb == "return") {
      returnAt.reset();
      attach();
    } else if (verb == "restart") {
      long ms = arg.empty() ? 500 : std::strtol(arg.c_str(), nullptr, 10);
      detach();
      returnAt = Clock::now() + std::chrono::milliseconds(std::max(0L, ms));
    } else if (verb == "halt" && (arg == "in" || arg == "out")) {
      (arg == "in" ? haltInWanted : haltOutWanted) = true;
    } else if (verb == "quit") {
      return true;
    } else if (!verb.empty()) {
      event("unknown command: " + line);
    }
    return false;
  }
};

Gadget::Gadget(Options options, EventSink events) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(options);
  impl_->events = std::move(events);
}

Gadget::~Gadget() {
  try {
    impl_->tearDown();
  } catch (const std::exception&) {
    // Best effort: a half-removed gadget is cleared by the next setUp.
  }
}

void Gadget::setUp() { impl_->setUp(); }
void Gadget::attach() { impl_->attach(); }
void Gadget::detach() { impl_->detach(); }
bool Gadget::attached() const { return impl_->attached; }
void Gadget::run(int peerFd, int controlFd, int stopFd, PeerReconnect onPeerClosed) {
  impl_->run(peerFd, controlFd, stopFd, onPeerClosed);
}

}  // namespace usbgadget
