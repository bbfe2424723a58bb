// Loads arbitrary bytes as a BIRD file and runs every query and patch on
// what loaded, checking that no block reaches outside the body, and that the
// reason given for a serial number that cannot be written (the update's
// message prints it) is there exactly when writing it fails. Logging is on,
// into /dev/null, so every diagnostic is formatted too.
//
// The first input byte picks the form: even, the rest is the whole file;
// odd, the rest is a body that gets a valid header and zlib wrapper, so the
// block scanner sees mutated bodies instead of mostly broken streams.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <cstdio>

#include "../bird/FuzzScratchFile.h"
#include "BirdFile.h"
#include "Log.h"

namespace {

void check(bool ok)
{
  if (!ok)
    __builtin_trap();
}

uint32_t le32(const uint8_t* p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when some firmware block holds the serial word at the offset.
bool serialWordIs(const BirdFile& f, uint32_t value)
{
  for (const BirdBlock& b : f.Blocks()) {
    if (b.type != BirdFile::BLOCK_FIRMWARE)
      continue;
    uint64_t start = b.address, end = start + (b.length - 4u), at = f.SerialOffset();
    if (at >= start && at + 4 <= end && le32(b.data + 4 + (at - start)) == value)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static const FuzzScratchFile scratch("bird");
  static const bool logging = [] {
    Log::SetOutput(std::fopen("/dev/null", "w"));
    Log::ActivatePackage(DEBUG_BirdFile);
    return true;
  }();
  (void)logging;
  if (size == 0)
    return 0;
  std::vector<uint8_t> file;
  if (data[0] & 1) {
    uLongf packed = compressBound(uLong(size - 1));
    file.resize(6 + packed);
    std::memcpy(file.data(), "bird\x01\x01", 6);
    if (compress2(file.data() + 6, &packed, data + 1, uLong(size - 1), 6) != Z_OK)
      return 0;
    file.resize(6 + packed);
  } else {
    file.assign(data + 1, data + size);
  }
  const std::string& path = scratch.write(file.data(), file.size());

  BirdFile::VerifyFile(path);
  BirdFile f;
  try {
    f = BirdFile(path);
  } catch (const std::runtime_error&) {
    return 0;
  }

  check(f.BlockCount() == f.Blocks().size());
  // Whole means the block list matched what the body declares; only then
  // does a load for installing take the file.
  if (f.IsWhole())
    check(f.DataSize() >= 4 && f.BlockCount() == (uint32_t(f.Data()[0]) << 24 | uint32_t(f.Data()[1]) << 16 |
                                                   uint32_t(f.Data()[2]) << 8 | f.Data()[3]));
  bool loadedWhole = true;
  bool placed = true;
  try {
    BirdFile::LoadWhole(path);
  } catch (const BirdFile::Incomplete& e) {
    loadedWhole = false;
    check(!e.Problem().empty() && e.Problem() == f.ScanProblem());
  } catch (const BirdFile::LoadError& e) {
    // A whole file whose blocks cannot all be put on a module, named.
    placed = false;
    const std::string why = f.PlacementProblem();
    check(!why.empty() && std::string(e.what()).find(why) != std::string::npos);
  }
  check(loadedWhole == f.IsWhole());
  if (loadedWhole)
    check(placed == f.PlacementProblem().empty());
  const uint8_t* begin = f.Data();
  const uint8_t* end = begin + f.DataSize();
  for (const BirdBlock& b : f.Blocks()) {
    check(b.data >= begin && b.data <= end && uint64_t(end - b.data) >= b.length);
    check(b.type <= BirdFile::BIRD_FILE_TYPE_MASK && b.flags <= 7);
    if (b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE)
      check(b.length >= BirdFile::ADDRESS_PREFIX_SIZE);
    if (b.type == BirdFile::BLOCK_DESCRIPTOR)
      check(b.length >= BirdFile::DESCRIPTOR_SIZE);
    if (b.type == BirdFile::BLOCK_SERIAL_OFFSETS)
      check(b.length >= BirdFile::SERIAL_OFFSETS_SIZE);
  }
  check(f.HasSerialOffsets() == !f.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty());

  f.GetBuild();
  f.GetVersion();
  f.ValidateSerialNumber(f.GetSerialNumber());
  f.ValidateModel("MTM-IO-SERIAL");
  f.ValidateModel("");
  const uint32_t serial = 0x5EED1234;
  // The serial text may be placed over the word; then the text wins.
  uint64_t so = f.SerialOffset(), dof = f.DescriptorOffset();
  bool overlap = dof != 0 && so < dof + 16 && dof < so + 4;
  const std::string why = f.SerialNumberProblem();
  const bool replaced = f.ReplaceSerialNumber(serial);
  check(replaced == why.empty());
  if (replaced && so != 0 && !overlap)
    check(serialWordIs(f, serial));
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  f.DecodeFirmwareBlocks(key);
  f.ReplaceVectorChecksum();
  const uint8_t pattern[3] = {0x12, 0x34, 0x5E};
  f.ValidateData(pattern, sizeof pattern);
  f.ValidateData(begin, f.DataSize() > 64 ? 64 : uint32_t(f.DataSize()));

  BirdFile moved(std::move(f));
  check(f.Blocks().empty() && f.Data() == nullptr);
  return 0;
}
