#pragma once
// Writes BIRD firmware files for tests and simulated modules, straight from
// the file format (header, zlib body, block list, checksum). It shares no code
// with the product's reader, so a misreading of the format cannot hide on both
// sides. Every field that a reader must check can be set to a wrong value.
//
// File:  "bird", two version bytes, then the body as one zlib stream.
// Body:  declared block count (u32), blocks, checksum (u32); big-endian.
// Block: type | flags << 5 (u8), data length (u32), data.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdsim {

using Bytes = std::vector<uint8_t>;

enum BlockType : uint8_t {
  kLoader = 0,
  kFirmware = 1,
  kSerialOffsets = 2,
  kDescriptor = 4,
  kStartAddress = 5,
};

struct Block {
  uint8_t type = 0;   // 0..31
  uint8_t flags = 0;  // 0..7
  Bytes data;         // the block data as stored, address prefix included
  // Written in place of data.size() when set, to make blocks that claim more
  // (or fewer) bytes than follow.
  std::optional<uint32_t> declaredLength;
};

// Block makers. Addresses and offsets are stored big-endian.
Block loader(uint32_t address, const Bytes& code, uint8_t flags = 0);
Block firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
Block serialOffsets(uint32_t serialOffset, uint32_t descriptorOffset);
// Four 16-character fields, blank-padded (longer texts are cut to 16).
Block descriptor(const std::string& build, const std::string& version,
                 const std::string& serial, const std::string& model);
// The usual spelling: build in decimal, serial as "%08X".
Block descriptor(uint32_t build, const std::string& version, uint32_t serial,
                 const std::string& model);
Block startAddress(uint32_t address);
Block raw(uint8_t type, const Bytes& data, uint8_t flags = 0);

enum class Compression {
  Zlib,        // one RFC 1950 stream (what readers expect)
  RawDeflate,  // RFC 1951 without the zlib wrapper
  Stored,      // the body as it is, no compression at all
  Corrupt,     // a zlib stream with its middle bytes flipped
};

struct Image {
  std::vector<Block> blocks;
  std::optional<uint32_t> declaredCount;  // default: blocks.size()
  std::optional<uint32_t> checksum;       // default: crc32 of what precedes it
  bool omitChecksum = false;
  Bytes trailing;  // appended to the body after the checksum
  std::string signature = "bird";  // first four characters are written
  uint8_t version[2] = {1, 1};
  Compression compression = Compression::Zlib;
  int level = 9;  // zlib level 0..9
};

// The uncompressed body: count, blocks, checksum, trailing bytes.
Bytes body(const Image& image);
// The checksum the writer puts after the blocks by default.
uint32_t defaultChecksum(const Bytes& bodyBeforeChecksum);
// Header plus the compressed body.
Bytes file(const Image& image);
// Header plus an arbitrary body compressed as the image's settings say.
Bytes fileFromBody(const Image& header, const Bytes& body);

// A 16-byte key from four words, each most significant byte first.
void keyBytes(const uint32_t words[4], uint8_t key[16]);
// The scrambling that a reader's descrambler undoes: per payload, with the
// previous plain byte p (0 at the start) and key index k (restarting at 0),
// out = plain ^ key[k] ^ p.
Bytes scramble(const Bytes& plain, const uint32_t words[4]);
// Scrambles the payload (after the 4-byte address) of every firmware block.
Image scrambled(Image image, const uint32_t words[4]);

// Writes bytes to path; false with a reason in *why on failure.
bool writeFile(const std::string& path, const Bytes& bytes, std::string* why);

}  // namespace birdsim
