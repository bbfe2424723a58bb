#include "BirdFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "PrintableText.h"
#include "UpdaterStorePath.h"
#include "aByteOrder.h"
#include "aFile.h"

namespace {

constexpr uint32_t kHeaderSize = 6;
// The body buffer holds 8 times the compressed size; its size is a 32-bit
// field, so larger inputs are refused before anything is allocated.
constexpr uint64_t kInflateFactor = 8;
constexpr uint64_t kMaxCompressed = 0xFFFFFFFFull / kInflateFactor;
constexpr uint32_t kBlockHeaderSize = 5;
constexpr size_t kFieldSize = 16;

// The file's own fields are big-endian; the serial-number and checksum
// words inside a firmware image are the chip's, little-endian.
constexpr auto GetInt = aByteOrder::be32;
constexpr auto GetShort = aByteOrder::be16;
constexpr auto getLE32 = aByteOrder::le32;
constexpr auto putLE32 = aByteOrder::putLE32;

const char* blockName(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
      return "loader";
    case BirdFile::BLOCK_FIRMWARE:
      return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS:
      return "serial offsets";
    case BirdFile::BLOCK_DESCRIPTOR:
      return "descriptor";
    case BirdFile::BLOCK_START_ADDRESS:
      return "start address";
    default:
      return "other";
  }
}

// The least data a block of this type must hold for its readers; 0 for
// types nothing reads.
uint32_t minimumLength(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
    case BirdFile::BLOCK_FIRMWARE:
      return BirdFile::ADDRESS_PREFIX_SIZE;
    case BirdFile::BLOCK_SERIAL_OFFSETS:
      return BirdFile::SERIAL_OFFSETS_SIZE;
    case BirdFile::BLOCK_DESCRIPTOR:
      return BirdFile::DESCRIPTOR_SIZE;
    case BirdFile::BLOCK_START_ADDRESS:
      return BirdFile::START_ADDRESS_SIZE;
    default:
      return 0;
  }
}

// Does [start, start + size) lie inside the firmware block's image range?
// In 64 bits, so addresses near the top of the 32-bit space cannot wrap.
bool covers(const BirdBlock& b, uint64_t start, uint64_t size) {
  uint64_t first = b.address;
  uint64_t end = first + (uint64_t(b.length) - BirdFile::ADDRESS_PREFIX_SIZE);
  return start >= first && start + size <= end;
}

// Opens a path for reading only when it is a regular file, and gives its
// size. O_NONBLOCK keeps the open of a FIFO from waiting for a writer (and a
// terminal's from waiting for its line); regular files do not heed it. -1
// with the reason in why otherwise.
int openRegular(const char* path, BirdFile::Source source, std::string& why, uint64_t& size) {
  if (source == BirdFile::Source::Stored) {
    const UpdaterStoreOpen opened = UpdaterStorePath_OpenFile(path, O_RDONLY);
    if (opened.Refused())
      throw UpdaterStoreRefusal(opened.refusal);
    struct stat st {};
    if (opened.fd < 0 || ::fstat(opened.fd, &st) != 0) {
      why = std::strerror(opened.fd < 0 ? opened.err : errno);
      if (opened.fd >= 0)
        ::close(opened.fd);
      return -1;
    }
    size = uint64_t(st.st_size);
    return opened.fd;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    why = std::strerror(errno);
  else if (S_ISDIR(st.st_mode))
    why = std::strerror(EISDIR);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  if (!why.empty()) {
    ::close(fd);
    return -1;
  }
  size = uint64_t(st.st_size);
  return fd;
}

// Up to n bytes; fewer only at the end of the file. -1 with errno set on a
// read error.
ssize_t readUpTo(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return -1;
    if (r == 0)
      break;
    got += size_t(r);
  }
  return ssize_t(got);
}

const char kNotBird[] = "not a BIRD file (it does not begin with \"bird\")";

std::string inflateProblem(int rc) {
  switch (rc) {
    case Z_DATA_ERROR:  // zlib tells an incomplete stream from a damaged one no better
      return "its compressed body is cut short or corrupt";
    case Z_BUF_ERROR:
      return "its body inflates to more than 8 times its compressed size";
    case Z_MEM_ERROR:
      return "no memory to inflate its body";
    default:
      return "its compressed body does not inflate (zlib error " + std::to_string(rc) + ")";
  }
}

}  // namespace

BirdFile::LoadError::LoadError(const std::string& path, const std::string& reason)
    : std::runtime_error("Failed to load bird data: " + path + ": " + reason), m_path(path), m_reason(reason) {}

std::string BirdFile::FailureText(const std::exception& e) {
  if (const auto* load = dynamic_cast<const LoadError*>(&e))
    return load->Cause();
  return e.what();
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& path, Source source) : m_path(path), m_source(source) {
  std::string why;
  if (!Load(&why))
    throw LoadError(path, why);
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept
    : m_path(std::move(other.m_path)),
      m_source(other.m_source),
      m_signature(other.m_signature),
      m_version(other.m_version),
      m_fileChecksum(other.m_fileChecksum),
      m_blockCount(other.m_blockCount),
      m_blocks(std::move(other.m_blocks)),
      m_hasSerialOffsets(other.m_hasSerialOffsets),
      m_serialOffset(other.m_serialOffset),
      m_descriptorOffset(other.m_descriptorOffset),
      m_data(std::move(other.m_data)),
      m_dataSize(other.m_dataSize),
      m_scanProblem(std::move(other.m_scanProblem)) {
  other.reset();
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this != &other) {
    m_path = std::move(other.m_path);
    m_source = other.m_source;
    m_signature = other.m_signature;
    m_version = other.m_version;
    m_fileChecksum = other.m_fileChecksum;
    m_blockCount = other.m_blockCount;
    m_blocks = std::move(other.m_blocks);
    m_hasSerialOffsets = other.m_hasSerialOffsets;
    m_serialOffset = other.m_serialOffset;
    m_descriptorOffset = other.m_descriptorOffset;
    m_data = std::move(other.m_data);
    m_dataSize = other.m_dataSize;
    m_scanProblem = std::move(other.m_scanProblem);
    other.reset();
  }
  return *this;
}

void BirdFile::reset() {
  m_path.clear();
  m_source = Source::Named;
  m_signature = 0;
  m_version = 0;
  m_fileChecksum = 0;
  m_blockCount = 0;
  m_blocks.clear();
  m_hasSerialOffsets = false;
  m_serialOffset = 0;
  m_descriptorOffset = 0;
  m_data.reset();
  m_dataSize = 0;
  m_scanProblem.clear();
}

BirdFile::Incomplete::Incomplete(const std::string& path, const std::string& problem)
    : std::runtime_error("BIRD file " + path + " is incomplete: " + problem), m_problem(problem) {}

BirdFile BirdFile::LoadWhole(const std::string& path, Source source) {
  BirdFile file(path, source);
  if (!file.IsWhole())
    throw Incomplete(path, file.ScanProblem());
  const std::string unplaceable = file.PlacementProblem();
  if (!unplaceable.empty())
    throw LoadError(path, unplaceable);
  return file;
}

std::string BirdFile::PlacementProblem() const {
  for (const uint8_t type : {BLOCK_LOADER, BLOCK_FIRMWARE}) {
    const std::vector<BirdBlock> blocks = FindBlocks(type);
    const char* kind = type == BLOCK_LOADER ? "loader" : "firmware";
    for (size_t i = 0; i < blocks.size(); ++i) {
      const BirdBlock& block = blocks[i];
      const uint64_t bytes = block.length > ADDRESS_PREFIX_SIZE ? block.length - ADDRESS_PREFIX_SIZE : 0;
      char text[160];
      if (bytes == 0) {
        std::snprintf(text, sizeof text, "%s block %zu of %zu (at 0x%08X) holds no bytes", kind, i + 1, blocks.size(),
                      static_cast<unsigned>(block.address));
      } else if (block.address + bytes > (uint64_t{1} << 32)) {
        std::snprintf(text, sizeof text,
                      "%s block %zu of %zu (at 0x%08X, %llu bytes) runs past the 4 GiB address space", kind, i + 1,
                      blocks.size(), static_cast<unsigned>(block.address), static_cast<unsigned long long>(bytes));
      } else {
        continue;
      }
      return text;
    }
  }
  return {};
}

bool BirdFile::VerifyFile(const std::string& path, Source source) {
  return HeaderProblem(path, source).empty();
}

std::string BirdFile::HeaderProblem(const std::string& path, Source source) {
  std::string why;
  uint64_t size = 0;
  const int fd = openRegular(path.c_str(), source, why, size);
  if (fd < 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return why;
  }
  uint8_t header[kHeaderSize] = {};
  const ssize_t n = readUpTo(fd, header, sizeof header);
  const int readErrno = errno;
  ::close(fd);
  if (n < 0)
    return std::strerror(readErrno);
  if (n == 0)
    return "is empty";
  if (size_t(n) < kHeaderSize)
    return "holds only " + std::to_string(n) + " bytes, less than its 6-byte header";
  if (GetInt(header) != BIRD_FILE_SIGNATURE)
    return kNotBird;
  if (header[4] == 0 || header[5] == 0)
    return "its version bytes are zero";
  return {};
}

bool BirdFile::Load(std::string* why) {
  const char* path = m_path.c_str();
  auto fail = [why](std::string text) {
    if (why)
      *why = std::move(text);
    return false;
  };
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
  std::string problem;
  uint64_t size = 0;
  const int fd = openRegular(path, m_source, problem, size);
  if (fd < 0) {
    if (!aFile_Exists(path))
      Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
    else
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s' (%s)\n", path, problem.c_str());
    return fail(problem);
  }
  if (size <= kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds %llu bytes, no body after the 6-byte header\n", path,
             (unsigned long long)size);
    ::close(fd);
    return fail(size == 0 ? std::string("is empty")
                          : "holds only " + std::to_string(size) + " bytes, no body after its 6-byte header");
  }
  if (size - kHeaderSize > kMaxCompressed) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large (%llu bytes) to decompress\n", path,
             (unsigned long long)size);
    ::close(fd);
    return fail("is too large to inflate (" + std::to_string(size) + " bytes)");
  }
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size]);
  if (!buf) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for %llu bytes of %s\n", (unsigned long long)size, path);
    ::close(fd);
    return fail("no memory for its " + std::to_string(size) + " bytes");
  }
  const ssize_t got = readUpTo(fd, buf.get(), size_t(size));
  const int readErrno = errno;
  ::close(fd);
  if (got < 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%s) reading %s\n", std::strerror(readErrno), path);
    return fail(std::strerror(readErrno));
  }
  if (uint64_t(got) < size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path, size_t(got),
             size_t(size));
    return fail("was cut short while being read (" + std::to_string(got) + " of " + std::to_string(size) + " bytes)");
  }

  m_signature = GetInt(buf.get());
  m_version = GetShort(buf.get() + 4);
  int rc = Z_OK;
  if (!DecompressData(buf.get() + kHeaderSize, size - kHeaderSize, &rc))
    return fail(m_signature != BIRD_FILE_SIGNATURE ? std::string(kNotBird) : inflateProblem(rc));
  if (m_dataSize < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - body of %u bytes has no room for its block count\n", m_dataSize);
    return fail("its body of " + std::to_string(m_dataSize) + " bytes has no room for its block count");
  }
  // A mismatch in the block list is logged and kept by the scan; it does not
  // fail the load, so a listing still reads such a file, while LoadWhole
  // refuses it for installing.
  ScanBlocks(m_data.get(), m_dataSize);
  FindSerialNumberOffsets();
  m_hasSerialOffsets = firstBlock(BLOCK_SERIAL_OFFSETS) != nullptr;
  return true;
}

bool BirdFile::DecompressData(const uint8_t* data, uint64_t n, int* zlibResult) {
  // The old body goes, so nothing may keep pointing into it.
  m_blocks.clear();
  m_blockCount = 0;
  m_fileChecksum = 0;
  m_scanProblem.clear();
  m_hasSerialOffsets = false;
  m_serialOffset = 0;
  m_descriptorOffset = 0;
  m_data.reset();
  m_dataSize = 0;
  if (!data || n > kMaxCompressed) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot decompress %llu bytes into a 32-bit sized body\n",
             (unsigned long long)n);
    return false;
  }
  uint64_t capacity = n * kInflateFactor;
  m_data.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
  if (!m_data) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for a %llu byte body\n", (unsigned long long)capacity);
    return false;
  }
  uLongf destLen = uLongf(capacity);
  int rc = uncompress(m_data.get(), &destLen, data, uLong(n));
  if (zlibResult)
    *zlibResult = rc;
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    m_dataSize = 0;
    return false;
  }
  m_dataSize = uint32_t(destLen);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* body, uint64_t size) {
  m_blocks.clear();
  m_blockCount = 0;
  m_fileChecksum = 0;
  m_scanProblem.clear();
  // The first mismatch found is the one the user is told.
  auto mismatch = [this](const std::string& problem) {
    if (m_scanProblem.empty())
      m_scanProblem = problem;
  };
  if (!body || size < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - body of %llu bytes has no room for its block count\n",
             (unsigned long long)size);
    mismatch("its body has no room for its block count");
    return false;
  }
  uint32_t declared = GetInt(body);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %u blocks\n", declared);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  bool ok = true;
  bool cutShort = false;
  uint64_t pos = 4;
  uint64_t left = size - 4;
  while (left > 4) {
    BirdBlock b;
    b.type = body[pos] & BIRD_FILE_TYPE_MASK;
    b.flags = uint8_t((body[pos] & BIRD_FILE_FLAG_MASK) >> 5);
    b.length = GetInt(body + pos + 1);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %u\n", b.type, b.flags, b.length);
    if (uint64_t(b.length) > left - kBlockHeaderSize) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block of type %02X at body offset %llu needs %u bytes, %llu remain\n",
               b.type, (unsigned long long)pos, b.length, (unsigned long long)(left - kBlockHeaderSize));
      mismatch("a block of type " + std::to_string(b.type) + " at body offset " + std::to_string(pos) +
               " runs past the end of the body");
      cutShort = true;
      break;
    }
    b.data = body + pos + kBlockHeaderSize;
    pos += kBlockHeaderSize + uint64_t(b.length);
    left -= kBlockHeaderSize + uint64_t(b.length);

    uint32_t need = minimumLength(b.type);
    if (b.length < need) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s block of %u bytes is shorter than %u bytes, refused\n",
               blockName(b.type), b.length, need);
      mismatch("a " + std::string(blockName(b.type)) + " block of " + std::to_string(b.length) +
               " bytes is shorter than " + std::to_string(need) + " bytes");
      ok = false;
      continue;
    }
    if (b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE)
      b.address = GetInt(b.data);
    if (b.type == BLOCK_DESCRIPTOR)
      for (size_t f = 0; f < 4; ++f)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(b.data + f * kFieldSize));
    m_blocks.push_back(b);
    ++m_blockCount;
  }

  bool haveChecksum = false;
  if (!cutShort && left >= 4) {
    m_fileChecksum = GetInt(body + pos);
    left -= 4;
    haveChecksum = true;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", m_fileChecksum);
  }
  if (left > 0 || !haveChecksum) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%llu bytes remaining)\n",
             (unsigned long long)left);
    mismatch(haveChecksum ? std::to_string(left) + " bytes follow its checksum"
                          : "its body ends without the file checksum");
    ok = false;
  }
  if (m_blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%u != %u)\n", m_blockCount,
             declared);
    mismatch("it declares " + std::to_string(declared) + " blocks and holds " + std::to_string(m_blockCount));
    ok = false;
  }
  return ok;
}

const BirdBlock* BirdFile::firstBlock(uint8_t type) const {
  for (const BirdBlock& b : m_blocks)
    if (b.type == type)
      return &b;
  return nullptr;
}

bool BirdFile::FindSerialNumberOffsets() {
  const BirdBlock* b = m_blockCount ? firstBlock(BLOCK_SERIAL_OFFSETS) : nullptr;
  if (!b)
    return false;
  m_serialOffset = GetInt(b->data);
  m_descriptorOffset = GetInt(b->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %u, Descriptor: %u\n", m_serialOffset,
           m_descriptorOffset);
  return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
  std::vector<BirdBlock> out;
  for (const BirdBlock& b : m_blocks)
    if (b.type == type)
      out.push_back(b);
  return out;
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* d = firstBlock(BLOCK_DESCRIPTOR);
  if (!d)
    return 0;
  const uint8_t* p = d->data;
  const uint8_t* end = p + kFieldSize - 1;
  while (p < end && std::isspace(*p))
    ++p;
  uint64_t value = 0;
  for (; p < end && std::isdigit(*p); ++p) {
    value = value * 10 + uint64_t(*p - '0');
    if (value > 0xFFFFFFFFull)
      return 0;
  }
  return uint32_t(value);
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* d = firstBlock(BLOCK_DESCRIPTOR);
  if (!d)
    return std::string();
  const char* field = reinterpret_cast<const char*>(d->data + kFieldSize);
  std::string text(field, strnlen(field, kFieldSize - 1));
  return text.substr(0, text.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* d = firstBlock(BLOCK_DESCRIPTOR);
  if (!d)
    return 0;
  char text[9] = {};
  std::memcpy(text, d->data + 2 * kFieldSize, 8);
  return uint32_t(std::strtoul(text, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const {
  return serialNumber == GetSerialNumber();
}

bool BirdFile::ValidateModel(const std::string& name) const {
  const BirdBlock* d = firstBlock(BLOCK_DESCRIPTOR);
  if (!d)
    return false;
  const char* raw = reinterpret_cast<const char*>(d->data + 3 * kFieldSize);
  std::string field(raw, strnlen(raw, kFieldSize));
  while (!field.empty() && field.back() == ' ')
    field.pop_back();
  if (name.size() > field.size() || field.compare(0, name.size(), name) != 0)
    return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), name.c_str());
  return true;
}

bool BirdFile::imageHolds(uint32_t address, uint32_t size) const {
  for (const BirdBlock& b : m_blocks)
    if (b.type == BLOCK_FIRMWARE && covers(b, address, size))
      return true;
  return false;
}

std::string BirdFile::SerialNumberProblem() const {
  if (m_serialOffset == 0 && m_descriptorOffset == 0)
    return "the file gives no place for it";
  char text[96] = "";
  if (m_serialOffset != 0 && !imageHolds(m_serialOffset, 4))
    std::snprintf(text, sizeof text, "the serial-number word at 0x%08X lies in no firmware block", m_serialOffset);
  else if (m_descriptorOffset != 0 && !imageHolds(m_descriptorOffset, 16))
    std::snprintf(text, sizeof text, "the serial-number text at 0x%08X lies in no firmware block", m_descriptorOffset);
  return text;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber) {
  bool serialWritten = false;
  bool textWritten = false;
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serialNumber);
  for (const BirdBlock& b : m_blocks) {
    if (b.type != BLOCK_FIRMWARE)
      continue;
    uint8_t* image = b.data + ADDRESS_PREFIX_SIZE;
    if (m_serialOffset != 0 && covers(b, m_serialOffset, 4)) {
      uint8_t* word = image + (m_serialOffset - b.address);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", getLE32(word), serialNumber);
      putLE32(word, serialNumber);
      serialWritten = true;
    }
    if (m_descriptorOffset != 0 && covers(b, m_descriptorOffset, 16)) {
      uint8_t* chars = image + (m_descriptorOffset - b.address);
      for (int i = 0; i < 8; ++i)
        chars[2 * i] = uint8_t(text[i]);
      textWritten = true;
    }
  }
  if (m_serialOffset != 0 && !serialWritten)
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - serial offset %08X lies in no firmware block\n", m_serialOffset);
  if (m_descriptorOffset != 0 && !textWritten)
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - descriptor offset %08X lies in no firmware block\n",
             m_descriptorOffset);
  if (m_serialOffset == 0 && m_descriptorOffset == 0)
    return false;
  return (m_serialOffset == 0 || serialWritten) && (m_descriptorOffset == 0 || textWritten);
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  if (!key)
    return false;
  uint8_t k[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i)
      k[w * 4 + i] = uint8_t(key[w] >> (24 - 8 * i));
  for (const BirdBlock& b : m_blocks) {
    if (b.type != BLOCK_FIRMWARE)
      continue;
    uint8_t* p = b.data + ADDRESS_PREFIX_SIZE;
    uint32_t n = b.length - ADDRESS_PREFIX_SIZE;
    uint8_t prev = 0;
    for (uint32_t i = 0; i < n; ++i) {
      p[i] = uint8_t(p[i] ^ k[i % 16] ^ prev);
      prev = p[i];
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  constexpr uint32_t kChecksumWord = 7;
  constexpr uint32_t kTableBytes = (kChecksumWord + 1) * 4;
  for (const BirdBlock& b : m_blocks) {
    if (b.type != BLOCK_FIRMWARE || b.address != 0)
      continue;
    if (b.length - ADDRESS_PREFIX_SIZE < kTableBytes) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - firmware block at 0 has %u bytes, too few for a vector table\n",
               b.length - ADDRESS_PREFIX_SIZE);
      continue;
    }
    uint8_t* table = b.data + ADDRESS_PREFIX_SIZE;
    uint32_t sum = 0;
    for (uint32_t w = 0; w < kChecksumWord; ++w)
      sum += getLE32(table + 4 * w);
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             getLE32(table + 4 * kChecksumWord), value);
    putLE32(table + 4 * kChecksumWord, value);
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", m_path.c_str());
  bool found = false;
  if (pattern && length > 0) {
    for (const BirdBlock& b : m_blocks) {
      if (b.type != BLOCK_FIRMWARE || b.length < length)
        continue;
      for (uint32_t pos = 0; pos <= b.length - length; ++pos)
        if (std::memcmp(b.data + pos, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %u\n", pos);
          found = true;
        }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", PrintableText(m_path).c_str());
  for (const BirdBlock& b : m_blocks) {
    if (b.type != type)
      continue;
    std::string text;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06u: ", text.c_str(), i);
        text.clear();
      }
      uint8_t c = b.data[i];
      std::printf("%02X ", c);
      text.push_back(std::isprint(c) ? char(c) : ' ');
    }
    std::printf(" %s\n", text.c_str());
  }
  std::printf("\n");
  std::fflush(stdout);
  return true;
}
