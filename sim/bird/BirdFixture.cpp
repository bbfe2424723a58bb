#include "BirdFixture.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace birdsim {

namespace {

void putU32(Bytes& out, uint32_t v)
{
  out.push_back(uint8_t(v >> 24));
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

Bytes addressed(uint32_t address, const Bytes& payload)
{
  Bytes data;
  data.reserve(payload.size() + 4);
  putU32(data, address);
  data.insert(data.end(), payload.begin(), payload.end());
  return data;
}

void putField(Bytes& out, const std::string& text)
{
  std::string field = text.substr(0, 16);
  field.resize(16, ' ');
  out.insert(out.end(), field.begin(), field.end());
}

Bytes deflateBytes(const Bytes& in, int level, int windowBits)
{
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  Bytes out(deflateBound(&zs, uLong(in.size())));
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = uInt(in.size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END)
    throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace

Block loader(uint32_t address, const Bytes& code, uint8_t flags)
{
  return Block{kLoader, flags, addressed(address, code), std::nullopt};
}

Block firmware(uint32_t address, const Bytes& image, uint8_t flags)
{
  return Block{kFirmware, flags, addressed(address, image), std::nullopt};
}

Block serialOffsets(uint32_t serialOffset, uint32_t descriptorOffset)
{
  Bytes data;
  putU32(data, serialOffset);
  putU32(data, descriptorOffset);
  return Block{kSerialOffsets, 0, data, std::nullopt};
}

Block descriptor(const std::string& build, const std::string& version,
                 const std::string& serial, const std::string& model)
{
  Bytes data;
  putField(data, build);
  putField(data, version);
  putField(data, serial);
  putField(data, model);
  return Block{kDescriptor, 0, data, std::nullopt};
}

Block descriptor(uint32_t build, const std::string& version, uint32_t serial,
                 const std::string& model)
{
  char sn[16];
  std::snprintf(sn, sizeof sn, "%08X", serial);
  return descriptor(std::to_string(build), version, sn, model);
}

Block startAddress(uint32_t address)
{
  Bytes data;
  putU32(data, address);
  return Block{kStartAddress, 0, data, std::nullopt};
}

Block raw(uint8_t type, const Bytes& data, uint8_t flags)
{
  return Block{type, flags, data, std::nullopt};
}

uint32_t defaultChecksum(const Bytes& bodyBeforeChecksum)
{
  return uint32_t(crc32(0L, bodyBeforeChecksum.data(), uInt(bodyBeforeChecksum.size())));
}

Bytes body(const Image& image)
{
  Bytes out;
  putU32(out, image.declaredCount.value_or(uint32_t(image.blocks.size())));
  for (const Block& b : image.blocks) {
    out.push_back(uint8_t((b.type & 0x1F) | ((b.flags & 0x07) << 5)));
    putU32(out, b.declaredLength.value_or(uint32_t(b.data.size())));
    out.insert(out.end(), b.data.begin(), b.data.end());
  }
  if (!image.omitChecksum)
    putU32(out, image.checksum.value_or(defaultChecksum(out)));
  out.insert(out.end(), image.trailing.begin(), image.trailing.end());
  return out;
}

Bytes fileFromBody(const Image& header, const Bytes& plain)
{
  Bytes out;
  std::string sig = header.signature;
  sig.resize(4, '\0');
  out.insert(out.end(), sig.begin(), sig.end());
  out.push_back(header.version[0]);
  out.push_back(header.version[1]);
  Bytes packed;
  switch (header.compression) {
  case Compression::Zlib:
    packed = deflateBytes(plain, header.level, 15);
    break;
  case Compression::RawDeflate:
    packed = deflateBytes(plain, header.level, -15);
    break;
  case Compression::Stored:
    packed = plain;
    break;
  case Compression::Corrupt:
    packed = deflateBytes(plain, header.level, 15);
    for (size_t i = packed.size() / 3; i < packed.size() * 2 / 3 + 1 && i < packed.size(); ++i)
      packed[i] ^= 0xA5;
    break;
  }
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

Bytes file(const Image& image)
{
  return fileFromBody(image, body(image));
}

void keyBytes(const uint32_t words[4], uint8_t key[16])
{
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b)
      key[w * 4 + b] = uint8_t(words[w] >> (24 - 8 * b));
}

Bytes scramble(const Bytes& plain, const uint32_t words[4])
{
  uint8_t key[16];
  keyBytes(words, key);
  Bytes out(plain.size());
  uint8_t prev = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    out[i] = uint8_t(plain[i] ^ key[i % 16] ^ prev);
    prev = plain[i];
  }
  return out;
}

Image scrambled(Image image, const uint32_t words[4])
{
  for (Block& b : image.blocks) {
    if (b.type != kFirmware || b.data.size() < 4)
      continue;
    Bytes payload(b.data.begin() + 4, b.data.end());
    Bytes mixed = scramble(payload, words);
    std::copy(mixed.begin(), mixed.end(), b.data.begin() + 4);
  }
  return image;
}

bool writeFile(const std::string& path, const Bytes& bytes, std::string* why)
{
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (why)
      *why = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  int err = errno;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok && why)
    *why = "cannot write " + path + ": " + std::strerror(err ? err : errno);
  return ok;
}

}  // namespace birdsim
