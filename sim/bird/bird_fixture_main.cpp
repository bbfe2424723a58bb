// bird_fixture: writes a BIRD firmware file described on the command line.
// Blocks appear in the file in the order they are given.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "BirdFixture.h"

using namespace birdsim;

namespace {

const char* kUsage =
    "usage: bird_fixture -o FILE [options] [blocks]\n"
    "blocks, written in the order given:\n"
    "  --loader ADDR DATA              loader block (type 0)\n"
    "  --firmware ADDR DATA            firmware block (type 1)\n"
    "  --serial-offsets SERIAL DESC    serial-number offsets block (type 2)\n"
    "  --descriptor BUILD VERSION SERIAL MODEL\n"
    "                                  descriptor block (type 4), 16 blank-padded\n"
    "                                  characters per field\n"
    "  --start-address ADDR            start-address block (type 5)\n"
    "  --block TYPE DATA               block of any type 0..31, data as given\n"
    "  --flags N                       flags 0..7 of the next block\n"
    "  --length N                      length field written for the next block\n"
    "file:\n"
    "  --signature TEXT                first four bytes (default bird)\n"
    "  --version A B                   the two version bytes (default 1 1)\n"
    "  --declared-count N              block count written (default: actual)\n"
    "  --checksum N | --no-checksum    checksum word (default crc32 of the body)\n"
    "  --trailing DATA                 bytes after the checksum\n"
    "  --compression zlib|raw|stored|corrupt\n"
    "  --scramble W0 W1 W2 W3          scramble firmware payloads with this key\n"
    "  --body-out FILE                 also write the uncompressed body\n"
    "DATA: hex:0A0B.. | text:STRING | zero:N | seq:N | @FILE\n"
    "numbers: decimal or 0x-prefixed hexadecimal\n";

uint32_t number(const std::string& text)
{
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull || text[0] == '-')
    throw std::runtime_error("not a 32-bit number: '" + text + "'");
  return uint32_t(v);
}

Bytes data(const std::string& spec)
{
  auto rest = [&](size_t n) { return spec.substr(n); };
  if (spec.rfind("hex:", 0) == 0) {
    std::string hex = rest(4);
    if (hex.size() % 2 != 0)
      throw std::runtime_error("odd number of hex digits in '" + spec + "'");
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2) {
      char pair[3] = {hex[i], hex[i + 1], 0};
      char* end = nullptr;
      long v = std::strtol(pair, &end, 16);
      if (*end != '\0')
        throw std::runtime_error("bad hex digits in '" + spec + "'");
      out.push_back(uint8_t(v));
    }
    return out;
  }
  if (spec.rfind("text:", 0) == 0) {
    std::string t = rest(5);
    return Bytes(t.begin(), t.end());
  }
  if (spec.rfind("zero:", 0) == 0)
    return Bytes(number(rest(5)), 0);
  if (spec.rfind("seq:", 0) == 0) {
    Bytes out(number(rest(4)));
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = uint8_t(i);
    return out;
  }
  if (spec.rfind("@", 0) == 0) {
    std::ifstream in(rest(1), std::ios::binary);
    if (!in)
      throw std::runtime_error("cannot read " + rest(1));
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  throw std::runtime_error("unknown data form '" + spec + "'");
}

}  // namespace

int main(int argc, char** argv)
{
  Image image;
  std::string out, bodyOut;
  std::optional<uint8_t> nextFlags;
  std::optional<uint32_t> nextLength;
  std::optional<std::array<uint32_t, 4>> key;
  try {
    int i = 1;
    auto arg = [&]() -> std::string {
      if (i >= argc)
        throw std::runtime_error(std::string("missing value after ") + argv[i - 1]);
      return argv[i++];
    };
    auto add = [&](Block b) {
      if (nextFlags)
        b.flags = *nextFlags;
      b.declaredLength = nextLength;
      nextFlags.reset();
      nextLength.reset();
      image.blocks.push_back(std::move(b));
    };
    while (i < argc) {
      std::string opt = argv[i++];
      if (opt == "-o") {
        out = arg();
      } else if (opt == "--loader") {
        uint32_t a = number(arg());
        add(loader(a, data(arg())));
      } else if (opt == "--firmware") {
        uint32_t a = number(arg());
        add(firmware(a, data(arg())));
      } else if (opt == "--serial-offsets") {
        uint32_t s = number(arg());
        add(serialOffsets(s, number(arg())));
      } else if (opt == "--descriptor") {
        std::string b = arg(), v = arg(), s = arg(), m = arg();
        add(descriptor(b, v, s, m));
      } else if (opt == "--start-address") {
        add(startAddress(number(arg())));
      } else if (opt == "--block") {
        uint32_t t = number(arg());
        if (t > 31)
          throw std::runtime_error("block type above 31");
        add(raw(uint8_t(t), data(arg())));
      } else if (opt == "--flags") {
        uint32_t f = number(arg());
        if (f > 7)
          throw std::runtime_error("block flags above 7");
        nextFlags = uint8_t(f);
      } else if (opt == "--length") {
        nextLength = number(arg());
      } else if (opt == "--signature") {
        image.signature = arg();
      } else if (opt == "--version") {
        uint32_t a = number(arg()), b = number(arg());
        if (a > 255 || b > 255)
          throw std::runtime_error("version bytes above 255");
        image.version[0] = uint8_t(a);
        image.version[1] = uint8_t(b);
      } else if (opt == "--declared-count") {
        image.declaredCount = number(arg());
      } else if (opt == "--checksum") {
        image.checksum = number(arg());
      } else if (opt == "--no-checksum") {
        image.omitChecksum = true;
      } else if (opt == "--trailing") {
        image.trailing = data(arg());
      } else if (opt == "--compression") {
        std::string c = arg();
        if (c == "zlib")
          image.compression = Compression::Zlib;
        else if (c == "raw")
          image.compression = Compression::RawDeflate;
        else if (c == "stored")
          image.compression = Compression::Stored;
        else if (c == "corrupt")
          image.compression = Compression::Corrupt;
        else
          throw std::runtime_error("unknown compression '" + c + "'");
      } else if (opt == "--scramble") {
        std::array<uint32_t, 4> w{};
        for (auto& x : w)
          x = number(arg());
        key = w;
      } else if (opt == "--body-out") {
        bodyOut = arg();
      } else if (opt == "-h" || opt == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
      } else {
        throw std::runtime_error("unknown option '" + opt + "'");
      }
    }
    if (out.empty())
      throw std::runtime_error("no output file (-o)");
    if (nextFlags || nextLength)
      throw std::runtime_error("--flags or --length given after the last block");
    if (key)
      image = scrambled(std::move(image), key->data());
    std::string why;
    if (!writeFile(out, file(image), &why) || (!bodyOut.empty() && !writeFile(bodyOut, body(image), &why)))
      throw std::runtime_error(why);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bird_fixture: %s\n%s", e.what(), kUsage);
    return 1;
  }
  return 0;
}
