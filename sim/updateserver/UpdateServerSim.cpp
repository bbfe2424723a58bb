#include "UpdateServerSim.h"

#include <httplib.h>

#include <algorithm>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

namespace updatesim {

namespace {

struct FaultSetting {
  Fault fault = Fault::None;
  int param = 0;
  int held = 0; // requests a Hold has taken so far
  unsigned generation = 0; // changes whenever the operation's fault is set
};

int hexValue(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

std::string percentDecode(const std::string& text)
{
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The query of a raw target, decoded; the first occurrence of a key wins.
std::map<std::string, std::string> parseQuery(const std::string& target)
{
  std::map<std::string, std::string> query;
  const size_t q = target.find('?');
  if (q == std::string::npos)
    return query;
  std::stringstream ss(target.substr(q + 1));
  std::string pair;
  while (std::getline(ss, pair, '&')) {
    if (pair.empty())
      continue;
    const size_t eq = pair.find('=');
    const std::string key = percentDecode(pair.substr(0, eq));
    const std::string value = eq == std::string::npos ? std::string() : percentDecode(pair.substr(eq + 1));
    query.emplace(key, value);
  }
  return query;
}

// "W0 W1 W2 W3" with every word as eight upper-case hex digits; empty when
// the text is not four hex words separated by blanks.
std::string fingerprintKey(const std::string& text)
{
  std::istringstream words(text);
  std::string word, key;
  int count = 0;
  while (words >> word) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(word.c_str(), &end, 16);
    if (*end || word.size() > 8 || ++count > 4)
      return {};
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lX", v);
    key += (key.empty() ? "" : " ") + std::string(hex);
  }
  return count == 4 ? key : std::string();
}

std::string upperHex(const std::string& text)
{
  std::string out = text;
  for (char& c : out)
    if (c >= 'a' && c <= 'f')
      c = static_cast<char>(c - 'a' + 'A');
  return out;
}

} // namespace

const char* opName(Op op)
{
  switch (op) {
  case Op::Ping: return "hi";
  case Op::Query: return "qu";
  case Op::Builds: return "builds";
  case Op::Bird: return "bird";
  case Op::Fix: return "fix";
  }
  return "?";
}

bool opFromName(const std::string& name, Op& op)
{
  for (Op o : kAllOps)
    if (name == opName(o)) {
      op = o;
      return true;
    }
  return false;
}

bool faultFromName(const std::string& name, Fault& fault)
{
  static const std::pair<const char*, Fault> names[] = {
      {"none", Fault::None},       {"404", Fault::Http404},         {"500", Fault::Http500},
      {"redirect", Fault::Redirect}, {"empty", Fault::EmptyBody},   {"notok", Fault::NotOk},
      {"okay", Fault::Okay},       {"crlf", Fault::Crlf},           {"missing", Fault::MissingLines},
      {"badbase64", Fault::BadBase64}, {"delay", Fault::Delay},     {"cut", Fault::CutMidBody},
      {"trickle", Fault::Trickle}, {"hold", Fault::Hold},
  };
  for (const auto& [n, f] : names)
    if (name == n) {
      fault = f;
      return true;
    }
  return false;
}

std::string base64(const Bytes& bytes)
{
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const size_t left = bytes.size() - i;
  if (left == 1) {
    const uint32_t v = uint32_t(bytes[i]) << 16;
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (left == 2) {
    const uint32_t v = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8);
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

bool loadConfigFile(const std::string& path, FileConfig& out, std::string& error)
{
  std::ifstream in(path);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string line;
  int number = 0;
  Device* device = nullptr;
  auto fail = [&](const std::string& why) {
    error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos)
      line.erase(hash);
    std::istringstream words(line);
    std::string word;
    if (!(words >> word))
      continue;
    std::vector<std::string> args;
    for (std::string a; words >> a;)
      args.push_back(a);
    if (word == "device") {
      if (args.size() != 1)
        return fail("device SERIAL");
      device = &out.config.devices[upperHex(args[0])];
    } else if (word == "latest" || word == "firmware" || word == "build") {
      if (!device)
        return fail(word + " before any device");
      if (word == "latest" && args.size() == 1) {
        device->latestBuild = args[0];
      } else if (word == "firmware" && args.size() == 1) {
        device->firmwareId = args[0];
      } else if (word == "build" && (args.size() == 2 || args.size() == 3)) {
        device->builds.emplace_back(args[0], args[1]);
        if (args.size() == 3) {
          const std::string file = args[2].front() == '/' ? args[2] : folder + "/" + args[2];
          std::ifstream bird(file, std::ios::binary);
          if (!bird)
            return fail("cannot read " + file);
          device->birdFiles[args[0]] = Bytes((std::istreambuf_iterator<char>(bird)), std::istreambuf_iterator<char>());
        }
      } else {
        return fail("bad arguments to " + word);
      }
    } else if (word == "recovery") {
      if (args.size() != 6)
        return fail("recovery W0 W1 W2 W3 SERIAL BUILD");
      const std::string key = fingerprintKey(args[0] + " " + args[1] + " " + args[2] + " " + args[3]);
      if (key.empty())
        return fail("fingerprint words must be hexadecimal");
      out.config.recovery[key] = Recovery{args[4], args[5]};
    } else if (word == "fault") {
      Op op;
      Fault fault;
      if (args.size() < 2 || args.size() > 3 || !opFromName(args[0], op) || !faultFromName(args[1], fault))
        return fail("fault OP FAULT [MS]");
      out.faults.push_back({op, {fault, args.size() == 3 ? std::atoi(args[2].c_str()) : 0}});
    } else {
      return fail("unknown statement " + word);
    }
  }
  return true;
}

struct UpdateServer::Impl {
  std::unique_ptr<httplib::Server> server;
  mutable std::mutex mutex;
  // Signalled on a stop, on every request and on every fault change.
  mutable std::condition_variable stopped;
  bool stopping = false;
  Config config;
  std::map<Op, FaultSetting> faults;
  std::vector<std::string> requests;
  std::vector<std::string> targets;
  std::FILE* log = nullptr;

  // Normal answer lines for one request; the first is "ok" or "error ...".
  std::vector<std::string> answer(Op op, const std::map<std::string, std::string>& q, bool badBase64)
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto get = [&q](const char* key) -> const std::string* {
      auto it = q.find(key);
      return it == q.end() ? nullptr : &it->second;
    };
    const Device* device = nullptr;
    if (op != Op::Ping && op != Op::Fix) {
      const std::string* sn = get("sn");
      if (!sn)
        return {"error missing sn"};
      auto it = config.devices.find(*sn);
      if (it == config.devices.end())
        return {"error unknown device " + *sn};
      device = &it->second;
    }
    switch (op) {
    case Op::Ping:
      return {"ok"};
    case Op::Query:
      return {"ok", device->latestBuild, device->firmwareId};
    case Op::Builds: {
      std::vector<std::string> lines{"ok"};
      for (const auto& [build, version] : device->builds)
        lines.push_back(build + ";" + version);
      return lines;
    }
    case Op::Bird: {
      const std::string* bld = get("bld");
      const std::string* fw = get("fw");
      if (!bld || !fw || !get("no_cal"))
        return {"error missing bld, fw or no_cal"};
      if (*fw != device->firmwareId)
        return {"error unknown firmware " + *fw};
      auto it = device->birdFiles.find(*bld);
      if (it == device->birdFiles.end())
        return {"error no file for build " + *bld};
      std::string text = base64(it->second);
      if (badBase64 && !text.empty())
        text[text.size() / 2] = '*';
      return {"ok", text};
    }
    case Op::Fix: {
      const std::string* fp = get("fp");
      if (!fp || !get("brief"))
        return {"error missing fp or brief"};
      auto it = config.recovery.find(fingerprintKey(*fp));
      if (it == config.recovery.end())
        return {"error unknown fingerprint " + *fp};
      return {"ok", it->second.serial, it->second.build};
    }
    }
    return {"error"};
  }

  void record(const httplib::Request& req)
  {
    const std::string line = req.method + " " + req.target + " " + req.version;
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(line);
    targets.push_back(req.target);
    if (log) {
      std::fprintf(log, "%s\n", line.c_str());
      std::fflush(log);
    }
    stopped.notify_all();
  }

  // Holds a request of `op` while the Hold fault that took it is in place;
  // false when the server stops first.
  bool hold(Op op)
  {
    std::unique_lock<std::mutex> lock(mutex);
    FaultSetting& setting = faults[op];
    if (setting.fault != Fault::Hold || (setting.param > 0 && setting.held >= setting.param))
      return true;
    ++setting.held;
    const unsigned generation = setting.generation;
    stopped.wait(lock, [&] { return stopping || faults[op].generation != generation; });
    return !stopping;
  }

  // Waits up to `ms`; returns early (false) when the server stops.
  bool pause(int ms)
  {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopped.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
  }

  void handle(const httplib::Request& req, httplib::Response& res)
  {
    const auto query = parseQuery(req.target);
    auto opIt = query.find("op");
    Op op;
    if (opIt == query.end() || !opFromName(opIt->second, op)) {
      res.status = 400;
      res.set_content("unknown op\n", "text/plain");
      return;
    }
    FaultSetting fault;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = faults.find(op);
      if (it != faults.end())
        fault = it->second;
    }

    std::vector<std::string> lines = answer(op, query, fault.fault == Fault::BadBase64);
    std::string eol = "\n";
    switch (fault.fault) {
    case Fault::Http404:
      res.status = 404;
      res.set_content("not found\n", "text/plain");
      return;
    case Fault::Http500:
      res.status = 500;
      res.set_content("internal error\n", "text/plain");
      return;
    case Fault::Redirect:
      res.status = 302;
      res.set_header("Location", req.target);
      break; // a body that would pass, so only the status can fail it
    case Fault::EmptyBody:
      res.status = 200;
      res.set_content("", "text/plain");
      return;
    case Fault::NotOk:
      lines[0] = "error";
      break;
    case Fault::Okay:
      if (lines[0] == "ok")
        lines[0] = "okay";
      break;
    case Fault::Crlf:
      eol = "\r\n";
      break;
    case Fault::MissingLines:
      if (lines[0] == "ok")
        lines.resize(1);
      break;
    case Fault::Delay:
      if (!pause(fault.param))
        return;
      break;
    case Fault::Hold:
      if (!hold(op))
        return;
      break;
    default:
      break;
    }

    std::string body;
    for (const auto& l : lines)
      body += l + eol;
    if (res.status == -1)
      res.status = 200;

    if (fault.fault == Fault::CutMidBody) {
      auto shared = std::make_shared<std::string>(std::move(body));
      res.set_content_provider(shared->size(), "text/plain",
                               [shared](size_t offset, size_t, httplib::DataSink& sink) {
                                 const size_t half = shared->size() / 2;
                                 if (offset < half)
                                   sink.write(shared->data() + offset, half - offset);
                                 // Returning false drops the connection with the rest unsent.
                                 return offset < half;
                               });
      return;
    }
    if (fault.fault == Fault::Trickle) {
      trickle(res, std::move(body), fault.param);
      return;
    }
    res.set_content(body, "text/plain");
  }

  // A server that never finishes: the answer, then filler, a tenth of the
  // rate every tenth of a second, until the client leaves or the server stops.
  void trickle(httplib::Response& res, std::string body, int bytesPerSecond)
  {
    auto shared = std::make_shared<std::string>(std::move(body));
    const size_t step = static_cast<size_t>(std::max(1, bytesPerSecond / 10));
    res.set_chunked_content_provider("text/plain", [this, shared, step](size_t offset, httplib::DataSink& sink) {
      std::string chunk = offset < shared->size() ? shared->substr(offset, step) : std::string();
      chunk.resize(step, '\n');
      if (!sink.write(chunk.data(), chunk.size()))
        return false;
      return pause(100);
    });
  }
};

UpdateServer::UpdateServer(Config config) : impl_(std::make_unique<Impl>())
{
  impl_->config = std::move(config);
}

UpdateServer::~UpdateServer()
{
  stop();
}

bool UpdateServer::start(int port)
{
  if (thread_.joinable())
    return true;
  impl_->server = std::make_unique<httplib::Server>();
  tls_ = false;
  return listen(port);
}

bool UpdateServer::startTls(const std::string& certPath, const std::string& keyPath, int port)
{
  if (thread_.joinable())
    return true;
  auto server = std::make_unique<httplib::SSLServer>(certPath.c_str(), keyPath.c_str());
  if (!server->is_valid())
    return false;
  impl_->server = std::move(server);
  tls_ = true;
  return listen(port);
}

bool UpdateServer::listen(int port)
{
  httplib::Server& server = *impl_->server;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = false;
  }
  // One request per connection, so stopping never waits on an idle keep-alive.
  server.set_keep_alive_max_count(1);
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    impl_->record(req);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Get("/cgi/u", [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); });
  if (port == 0) {
    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
      return false;
  } else {
    if (!server.bind_to_port("127.0.0.1", port))
      return false;
    port_ = port;
  }
  // The listening loop creates its task queue once it counts as running;
  // waiting for that makes a stop() right after start() reach the loop.
  std::promise<void> running;
  std::future<void> ready = running.get_future();
  server.new_task_queue = [&running, once = false]() mutable -> httplib::TaskQueue* {
    if (!once) {
      once = true;
      running.set_value();
    }
    return new httplib::ThreadPool(4);
  };
  thread_ = std::thread([this] { impl_->server->listen_after_bind(); });
  ready.wait();
  return true;
}

void UpdateServer::stop()
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stopped.notify_all();
  if (thread_.joinable()) {
    impl_->server->stop();
    thread_.join();
  }
}

std::string UpdateServer::url() const
{
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

void UpdateServer::setConfig(Config config)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->config = std::move(config);
}

Config UpdateServer::config() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->config;
}

void UpdateServer::setFault(Op op, Fault fault, int param)
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    FaultSetting& setting = impl_->faults[op];
    setting = FaultSetting{fault, param, 0, setting.generation + 1};
  }
  impl_->stopped.notify_all();
}

void UpdateServer::clearFaults()
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& [op, setting] : impl_->faults)
      setting = FaultSetting{Fault::None, 0, 0, setting.generation + 1};
  }
  impl_->stopped.notify_all();
}

bool UpdateServer::waitForTarget(const std::string& part, size_t count, std::chrono::milliseconds timeout) const
{
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->stopped.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& t : impl_->targets)
      if (t.find(part) != std::string::npos)
        ++seen;
    return seen >= count;
  });
}

std::vector<std::string> UpdateServer::requests() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::vector<std::string> UpdateServer::targets() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->targets;
}

void UpdateServer::clearRequests()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->requests.clear();
  impl_->targets.clear();
}

void UpdateServer::setRequestLog(std::FILE* log)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log = log;
}

} // namespace updatesim
