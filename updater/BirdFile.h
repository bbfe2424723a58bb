#pragma once
// A loaded BIRD firmware file: header check, zlib-compressed body, block
// list, descriptor queries and the in-memory patches made before a transfer
// (serial number, descrambling). The file on disk is never changed.
//
// File:  "bird" (big-endian 0x62697264), two non-zero version bytes, body.
// Body:  declared block count (u32), blocks, file checksum (u32).
// Block: type (bits 0-4) and flags (bits 5-7) in one byte, data length (u32),
//        data. Numbers are big-endian.
//
// Blocks point into the file's body, so a BirdFile is moved, never copied;
// a block's data stays valid while the BirdFile that handed it out lives.
// Diagnostics go to Log under DEBUG_BirdFile. Not thread-safe: a BirdFile
// belongs to the thread of the operation that loaded it.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct BirdBlock {
  uint8_t type = 0;         // BirdFile::BLOCK_TYPE, or any other value 0..31
  uint8_t flags = 0;        // 0..7, passed to the module loader as they are
  uint32_t length = 0;      // bytes of data, address prefix included
  uint32_t address = 0;     // load address of loader and firmware blocks, else 0
  uint8_t* data = nullptr;  // into the owning BirdFile's body
};

class BirdFile {
 public:
  // Raised by LoadWhole for a file that loads but whose block list does not
  // match its body; what() is "BIRD file <path> is incomplete: <problem>".
  class Incomplete : public std::runtime_error {
   public:
    Incomplete(const std::string& path, const std::string& problem);
    const std::string& Problem() const { return m_problem; }

   private:
    std::string m_problem;
  };

  // Raised by the path constructor (and so LoadWhole) when the file cannot
  // be loaded; what() is "Failed to load bird data: <path>: <reason>",
  // Cause() "<path>: <reason>", the reason the system's error text, "not a
  // regular file", "is empty", "its compressed body is corrupt", ...
  class LoadError : public std::runtime_error {
   public:
    LoadError(const std::string& path, const std::string& reason);
    std::string Cause() const { return m_path + ": " + m_reason; }
    const std::string& Reason() const { return m_reason; }

   private:
    std::string m_path;
    std::string m_reason;
  };

  // The text a user is shown for a failure to load a BIRD file: a
  // LoadError's Cause(), else what().
  static std::string FailureText(const std::exception& e);

  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint8_t BIRD_FILE_VERSION[2] = {1, 1};
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,          // 4-byte load address, loader code
    BLOCK_FIRMWARE = 1,        // 4-byte load address, image bytes
    BLOCK_SERIAL_OFFSETS = 2,  // serial-number word address, serial text address
    BLOCK_DESCRIPTOR = 4,      // build, version, serial, model: 16 chars each
    BLOCK_START_ADDRESS = 5,   // where the boot ROM starts the recovery loader
  };

  // Smallest data length a block of each kind needs; shorter ones are refused.
  static constexpr uint32_t ADDRESS_PREFIX_SIZE = 4;
  static constexpr uint32_t SERIAL_OFFSETS_SIZE = 8;
  static constexpr uint32_t DESCRIPTOR_SIZE = 64;
  static constexpr uint32_t START_ADDRESS_SIZE = 4;

  // Where a path comes from. A Named file is one the user gave: opened as
  // named. A Stored one lies in the local store and is opened as the store
  // opens its files (UpdaterStorePath.h): a symbolic link or anything but a
  // regular file there raises UpdaterStoreRefusal from every operation
  // below that opens it, before anything is read.
  enum class Source { Named, Stored };

  // No path, zero fields, no blocks, no body.
  BirdFile();
  // Loads the file; raises LoadError (a std::runtime_error) when Load fails.
  explicit BirdFile(const std::string& path, Source source = Source::Named);
  ~BirdFile();
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Loads the file as the constructor does, and raises Incomplete when its
  // block list does not match its body (see IsWhole): what installs a file
  // loads it this way, so part of a firmware is never sent.
  // It also raises LoadError when PlacementProblem finds a block that cannot
  // be put on a module, so a module is never sent into its loader for it.
  static BirdFile LoadWhole(const std::string& path, Source source = Source::Named);

  // Why a loader or firmware block cannot be put on a module, naming the
  // first such block ("firmware block 2 of 3 (at 0x...) holds no bytes", or
  // "... runs past the 4 GiB address space": its addresses would wrap);
  // empty when every one can.
  std::string PlacementProblem() const;

  // True when the file starts with "bird" and two non-zero version bytes.
  static bool VerifyFile(const std::string& path, Source source = Source::Named);
  // Why VerifyFile refuses the path, for the user; empty when it passes.
  static std::string HeaderProblem(const std::string& path, Source source = Source::Named);

  // Reads, inflates and scans the file at the path. False for a missing or
  // unreadable file, one that is not a regular file (a FIFO or a device is
  // refused without waiting on it), one of 6 bytes or fewer, a body that does
  // not inflate (or inflates past 8 times its compressed size) or is under 4
  // bytes; *why (may be null) then says which. Block list mismatches (count,
  // size, refused blocks) are logged, the blocks found stay in the list and
  // IsWhole turns false; the header is not checked here (VerifyFile does).
  bool Load(std::string* why = nullptr);

  // Inflates n compressed bytes into a new body of at most 8 * n bytes.
  // *zlibResult (may be null) receives uncompress's code.
  bool DecompressData(const uint8_t* data, uint64_t n, int* zlibResult = nullptr);

  // Rebuilds the block list from a body (blocks then point into it). False on
  // a count or size mismatch or when a block was refused for being shorter
  // than its kind needs; the blocks found are kept either way.
  bool ScanBlocks(uint8_t* body, uint64_t size);

  // Reads both offsets from the first serial-offsets block.
  bool FindSerialNumberOffsets();

  // Copies of the blocks of one type, in file order.
  std::vector<BirdBlock> FindBlocks(uint8_t type) const;

  // Descriptor fields; 0, empty text or false without a descriptor block.
  uint32_t GetBuild() const;  // 0 also when the number exceeds 32 bits
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serialNumber) const;
  // True when the model field, trailing blanks removed, begins with name.
  bool ValidateModel(const std::string& name) const;

  // Writes the serial number as a little-endian word at the serial offset
  // and as "%08X" into the even bytes at the descriptor offset, in every
  // firmware block covering them. True only when every non-zero offset was
  // written in at least one block.
  bool ReplaceSerialNumber(uint32_t serialNumber);
  // Why ReplaceSerialNumber would answer false, for the user ("the
  // serial-number word at 0x... lies in no firmware block"); empty when it
  // would succeed.
  std::string SerialNumberProblem() const;

  // Undoes the scrambling of every firmware block's payload with the chip
  // fingerprint key (four words, most significant byte first). Always true.
  bool DecodeFirmwareBlocks(const uint32_t key[4]);

  // Sets word 7 of the vector table of each firmware block at address 0 to
  // the two's complement of the sum of words 0 to 6. Always true.
  bool ReplaceVectorChecksum();

  // True when some firmware block's data (address included) holds pattern.
  bool ValidateData(const uint8_t* pattern, uint32_t length) const;

  // Hex and text dump of the blocks of one type to standard output.
  bool DumpBlocks(uint8_t type) const;

  const std::string& Path() const { return m_path; }
  uint32_t Signature() const { return m_signature; }
  uint32_t Version() const { return m_version; }
  uint32_t FileChecksum() const { return m_fileChecksum; }
  // True when the last scan found the declared count of blocks, each of the
  // length its kind needs, filling the body up to the checksum exactly.
  // ScanProblem says what did not match (empty when whole).
  bool IsWhole() const { return m_scanProblem.empty(); }
  const std::string& ScanProblem() const { return m_scanProblem; }
  // Blocks the scan kept (not the declared count).
  uint32_t BlockCount() const { return m_blockCount; }
  const std::vector<BirdBlock>& Blocks() const { return m_blocks; }
  bool HasSerialOffsets() const { return m_hasSerialOffsets; }
  uint32_t SerialOffset() const { return m_serialOffset; }
  uint32_t DescriptorOffset() const { return m_descriptorOffset; }
  const uint8_t* Data() const { return m_data.get(); }
  uint32_t DataSize() const { return m_dataSize; }

 private:
  const BirdBlock* firstBlock(uint8_t type) const;
  // True when some firmware block's image holds all size bytes from address.
  bool imageHolds(uint32_t address, uint32_t size) const;
  void reset();

  std::string m_path;
  Source m_source = Source::Named;
  uint32_t m_signature = 0;
  uint32_t m_version = 0;
  uint32_t m_fileChecksum = 0;
  uint32_t m_blockCount = 0;
  std::vector<BirdBlock> m_blocks;
  bool m_hasSerialOffsets = false;
  uint32_t m_serialOffset = 0;
  uint32_t m_descriptorOffset = 0;
  std::unique_ptr<uint8_t[]> m_data;
  uint32_t m_dataSize = 0;
  std::string m_scanProblem;
};
