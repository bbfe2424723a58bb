// The LPC client's codec: the chip's return-code names, the flash sector
// map, reply timing, checksums and the uuencoding of data lines. Pure
// functions of their arguments; nothing here touches the port.
#include <cstdlib>
#include <initializer_list>

#include "Log.h"
#include "NXPSerialClass.h"

const NXPSectorInfo NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},  {0x04000, 0x1000, 4},
    {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},  {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},
    {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11}, {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15}, {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23}, {0x50000, 0x8000, 24},
    {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27}, {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

uint32_t WAIT_TIME_MS(uint64_t n, uint32_t r) {
  if (r == 0)
    return 1;
  return static_cast<uint32_t>((n * 9000 + 18000) / r + 1);
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  const long code = line ? std::strtol(line, nullptr, 0) : 0;
  if (code < 0 || code > MAX_ERROR)
    return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

unsigned NXPSerialClass::CopyLength(unsigned n) {
  for (unsigned size : {256u, 512u, 1024u, 4096u})
    if (n <= size)
      return size;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
  return n;
}

unsigned NXPSerialClass::SectorFromAddress(unsigned address) {
  const NXPSectorInfo* row = NXP_LPC17XX_sectors;
  while (row->size != 0 && !(address >= row->start && address - row->start < row->size))
    ++row;
  return row->sector;
}

int NXPSerialClass::sum(const unsigned char* data, unsigned n) {
  int total = 0;
  for (unsigned i = 0; i < n; ++i)
    total += data[i];
  return total;
}

char NXPSerialClass::uuchar(unsigned value) {
  const unsigned v = value & 0x3F;
  return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

unsigned NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned n) {
  char* p = out;
  *p++ = uuchar(n);
  for (unsigned i = 0; i < n; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    *p++ = uuchar(group >> 18);
    *p++ = uuchar(group >> 12);
    *p++ = uuchar(group >> 6);
    *p++ = uuchar(group);
  }
  *p = '\0';
  return n;
}

unsigned NXPSerialClass::uudecode(unsigned char* out, unsigned room, const char* line) {
  if (!line || !out || line[0] == '\0')
    return 0;
  const unsigned n = (static_cast<unsigned char>(line[0]) - 0x20u) & 0x3F;
  if (n > room)
    return 0;
  const char* p = line + 1;
  unsigned stored = 0;
  while (stored < n) {
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = p[k];
      if (c == '\0' || c == '\r' || c == '\n') {
        // The line ended inside its data: only whole groups before it count.
        Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
        return stored;
      }
      group = (group << 6) | ((static_cast<unsigned char>(c) - 0x20u) & 0x3F);
    }
    p += 4;
    for (int k = 2; k >= 0 && stored < n; --k)
      out[stored++] = static_cast<unsigned char>(group >> (8 * k));
  }
  return stored;
}
