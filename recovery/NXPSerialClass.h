#pragma once
// Client of the UART in-system-programming protocol spoken by the boot ROM
// of an LPC17xx microcontroller: autobaud synchronisation, one-letter ASCII
// commands with decimal arguments ending in CR LF, a decimal return code per
// command, and data as uuencoded lines with a decimal checksum after every
// 20 lines.
//
// Every operation is synchronous on the caller's thread and returns an aErr:
//   aErrNone      success
//   aErrParam     an argument check failed (nothing was sent), or the chip's
//                 return-code line was missing or not CMD_SUCCESS
//   aErrIO        a reply that cannot be what the chip says on success (a
//                 checksum answer other than OK or RESEND, a wrong handshake
//                 acknowledgement, a malformed data or number line), or an
//                 I/O error of the stream
//   aErrNotReady  a reply did not arrive (the read ran out of empty reads)
//   aErrTimeout   Write or Read: the chip asked for a resend too often
//   other         the serial stream's own code from Connect or a write
// A failure leaves the stream open; the caller decides whether to go on.
// Replies are paced by fixed waits: each missing byte costs a 1 ms pause and
// a read gives up after 100 of them (2000 for a Write checksum answer);
// readPauseMs sets the pause.
//
// Threads: none of its own; one object serves one port on one thread.

#include <cstdint>

#include "aError.h"
#include "aStream.h"

// One flash sector: [start, start + size) is sector `sector`.
struct NXPSectorInfo {
  uint32_t start;
  uint32_t size;
  uint32_t sector;
};

// Sectors 0-15 are 4 KB from 0x00000, 16-29 are 32 KB from 0x10000 to
// 0x7FFFF; the closing row {0xFFFFFFFF, 0, 30} ends the table.
extern const NXPSectorInfo NXP_LPC17XX_sectors[];

// Milliseconds a reply of n bytes takes at rate r (10 bits per byte, plus
// two bytes of slack), rounded up by one; 1 when r is 0.
uint32_t WAIT_TIME_MS(uint64_t n, uint32_t r);

// How Response keeps the bytes of one reply: a line end before the first
// kept byte, and a NUL among the first three, are dropped (what is left on
// the line around the handshake); the reply is whole at its line end or once
// `limit` bytes are kept. The buffer holds limit + 1 bytes and stays
// NUL-terminated.
class NXPReplyReader {
 public:
  enum Step : uint8_t { Kept, Complete, SkippedLF, SkippedCR, SkippedNul, Refused };
  NXPReplyReader(char* buffer, uint64_t limit);
  // Refused once the reply is whole: nothing more is kept.
  Step feed(uint8_t b);
  bool complete() const;
  uint64_t length() const { return stored_; }

 private:
  char* buffer_;
  uint64_t limit_;
  uint64_t stored_ = 0;
  unsigned ended_ = 0;  // line-end bytes seen in a row
};

class NXPSerialClass {
 public:
  static constexpr uint8_t MAX_ERROR = 20;
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz, announced in Sync
  static constexpr unsigned MAX_BYTES_PER_LINE = 45;
  static constexpr unsigned LINES_PER_CHECKSUM = 20;
  // Checksum answers allowed per Write or Read: at most 2 resends survive.
  static constexpr unsigned MAX_READ_RETRY = 3;
  // Chip RAM where data is staged before it is copied to flash.
  static constexpr unsigned WRITE_ADDRESS = 0x10001000;
  static constexpr uint64_t TERMINATION_SIZE = 2;  // "\r\n"
  // Names of the boot ROM's return codes, index = code; [MAX_ERROR] is
  // "Unknown error".
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  // Pause after each empty read, in ms; a byte arriving ends it early.
  // A read gives up after its budget of empty reads, so this sets how long a
  // silent chip is waited for. The default of readPauseMs.
  static constexpr unsigned EMPTY_READ_PAUSE_MS = 1;

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens the port at the first supported rate >= rate (2400 ... 230400;
  // above 230400: 9600), closing a stream opened earlier. aErrNone, or the
  // serial stream's code (the object is then unconnected).
  aErr Connect(const char* devicePath, unsigned rate);
  // Closes the stream when open; always aErrNone.
  aErr Disconnect();
  // The autobaud handshake: "?", "Synchronized", then the crystal in kHz.
  // aErrNotReady when the chip does not answer, aErrIO when it answers the
  // handshake with something other than its acknowledgement.
  aErr Sync();

  // ISP commands. The chip must have been synchronised.
  aErr Unlock();
  // Asks the chip to change its rate; the host's own rate stays.
  aErr SetBaudRate(unsigned rate);
  // Switches the chip's echo and this client's echo reading together.
  aErr SetEcho(bool on);
  // Writes count bytes (non-zero, a multiple of 4) to chip RAM.
  aErr Write(unsigned ramAddress, unsigned count, unsigned char* data);
  // Reads count bytes (non-zero, a multiple of 4) into destination.
  aErr Read(unsigned address, unsigned count, unsigned char* destination);
  // Sectors first..last (last >= first) for the next erase or copy.
  aErr Prepare(unsigned firstSector, unsigned lastSector);
  // Copies count bytes (256, 512, 1024 or 4096) from RAM to flash at an
  // address that is a multiple of 256.
  aErr CopyToFlash(unsigned flashAddress, unsigned ramAddress, unsigned count);
  // Starts code at address in Thumb mode. No reply is read: the result is
  // that of the write.
  aErr ExecuteFrom(unsigned address);
  aErr Erase(unsigned firstSector, unsigned lastSector);
  // Each of these stores its value(s) only on success.
  aErr GetPartNumber(long* partNumber);
  aErr GetBootLoaderVersion(unsigned char* major, unsigned char* minor);
  // Fills deviceID with the chip's four serial-number words.
  aErr GetDeviceID();

  // The name of the return code a reply line carries ("7\r\n" gives
  // "INVALID_SECTOR"); text that is no number reads as 0.
  static const char* GetErrorText(const char* line);
  // The smallest copy size (256, 512, 1024, 4096) holding n bytes; above
  // 4096, n itself (which CopyToFlash refuses).
  static unsigned CopyLength(unsigned n);
  // The sector holding address; 30 beyond the last one.
  static unsigned SectorFromAddress(unsigned address);
  // The sum of n bytes as unsigned values.
  static int sum(const unsigned char* data, unsigned n);
  // One uuencoded character: (v & 0x3F) + 0x20, with 0 as '`'.
  static char uuchar(unsigned value);
  // Encodes n bytes (at most 45) as one NUL-terminated line without line
  // end into out (room for 2 + 4 * ceil(n / 3) characters); returns n.
  static unsigned uuencode(char* out, const unsigned char* data, unsigned n);
  // Decodes one line into out. A count above room stores nothing and gives
  // 0; a line that ends before its count is decoded gives the bytes it did
  // hold. Returns the bytes stored.
  static unsigned uudecode(unsigned char* out, unsigned room, const char* line);

  // Lower layer used by the commands.
  aErr Send(const char* text, bool expectEcho);
  aErr SendCommand(const char* text, int settleMs);
  aErr GetEcho(const char* expected, uint64_t count, uint64_t* matched);
  aErr GetLine(char* buffer, uint64_t capacity, uint64_t* length, unsigned missBudget);
  aErr Response(char* buffer, uint64_t capacity, uint64_t* length, const char* expected, uint64_t expectedLength);
  uint8_t GetErrorIndex(uint64_t lineLength);
  // Whether a command's return-code line of `length` bytes says CMD_SUCCESS:
  // the whole number at the place the echo setting puts the code (before the
  // line end with echo on, else at the start) must be 0.
  static bool ReturnCodeIsSuccess(const char* line, uint64_t length, bool echo);

  aStream* stream = nullptr;  // owned; null while unconnected
  bool echo = true;           // the chip echoes what it receives
  uint32_t baud = 0;          // rate chosen by the last Connect
  char port[2048] = {};       // path of the last successful Connect
  uint32_t deviceID[4] = {};  // as read by GetDeviceID, in the chip's order
  // The reads' pause, in ms: after an empty read, and after a line feed
  // skipped ahead of a line; either costs one of the read's budget. A real
  // port keeps the default. A scripted chip, whose bytes are all there at
  // once, has nothing to wait for: tests and fuzz targets set 0, and the
  // same bytes are read the same way, only without the waits.
  unsigned readPauseMs = EMPTY_READ_PAUSE_MS;

 private:
  // The one write path of Send and SendCommand: the text in one stream write
  // (dumped first, with its printable text when showText), the settle time,
  // then the echo of all but the last character when one is expected (the
  // next reader takes the last). `caller` names the operation in the log of
  // a failed write. The write's code; *matched the echo bytes that matched.
  aErr Put(const char* text, const char* caller, bool showText, int settleMs, bool expectEcho, uint64_t* matched);
  aErr Exchange(const char* text, const char* logPrefix, uint32_t responsePackage, char* line, uint64_t* length);
  aErr DataCommand(char letter, unsigned address, unsigned count, const void* data, char* line, uint64_t* length);
  aErr SectorCommand(char letter, unsigned firstSector, unsigned lastSector);
  aErr ReadNumbers(const char* text, unsigned long* values, unsigned count);
};
