#include "Base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kEncodingTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kInvalid = 0xFF;
constexpr unsigned char kPad = 0xFE;

// Reverse of the alphabet: every byte maps to its 6-bit value, "=" to kPad,
// everything else to kInvalid so that foreign characters are refused rather
// than decoded to garbage.
unsigned char* _build_decoding_table() {
  auto* table = static_cast<unsigned char*>(std::malloc(256));
  if (!table)
    return nullptr;
  for (int i = 0; i < 256; ++i)
    table[i] = kInvalid;
  for (unsigned char i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kEncodingTable[i])] = i;
  table[static_cast<unsigned char>('=')] = kPad;
  return table;
}

}  // namespace

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
  if (!data && input_length)
    return nullptr;
  const size_t groups = input_length / 3 + (input_length % 3 ? 1 : 0);
  if (groups > (SIZE_MAX - 1) / 4)
    return nullptr;
  const size_t out_len = 4 * groups;
  auto* out = static_cast<char*>(std::malloc(out_len + 1));
  if (!out)
    return nullptr;

  size_t o = 0;
  for (size_t i = 0; i < input_length; i += 3) {
    const size_t left = input_length - i;
    const uint32_t a = data[i];
    const uint32_t b = left > 1 ? data[i + 1] : 0;
    const uint32_t c = left > 2 ? data[i + 2] : 0;
    const uint32_t triple = (a << 16) | (b << 8) | c;
    out[o++] = kEncodingTable[(triple >> 18) & 0x3F];
    out[o++] = kEncodingTable[(triple >> 12) & 0x3F];
    out[o++] = left > 1 ? kEncodingTable[(triple >> 6) & 0x3F] : '=';
    out[o++] = left > 2 ? kEncodingTable[triple & 0x3F] : '=';
  }
  out[o] = '\0';
  if (output_length)
    *output_length = out_len;
  return out;
}

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
  if (!data && input_length)
    return nullptr;
  while (input_length > 0 && (data[input_length - 1] == '\r' || data[input_length - 1] == '\n'))
    --input_length;
  if (input_length % 4 != 0)
    return nullptr;

  size_t out_len = input_length / 4 * 3;
  size_t pads = 0;
  if (input_length >= 4) {
    if (data[input_length - 1] == '=')
      ++pads;
    if (data[input_length - 2] == '=')
      ++pads;
  }
  out_len -= pads;

  unsigned char* table = _build_decoding_table();
  if (!table)
    return nullptr;
  auto* out = static_cast<unsigned char*>(std::malloc(out_len + 1));
  if (!out) {
    std::free(table);
    return nullptr;
  }

  const size_t body_end = input_length - pads;
  size_t o = 0;
  for (size_t i = 0; i < input_length; i += 4) {
    uint32_t sextets[4];
    for (size_t k = 0; k < 4; ++k) {
      const unsigned char v = table[static_cast<unsigned char>(data[i + k])];
      // Padding is allowed only in the places counted above.
      const bool valid = (i + k < body_end) ? v < 64 : v == kPad;
      if (!valid) {
        std::free(table);
        std::free(out);
        return nullptr;
      }
      sextets[k] = v < 64 ? v : 0;
    }
    const uint32_t triple = (sextets[0] << 18) | (sextets[1] << 12) | (sextets[2] << 6) | sextets[3];
    if (o < out_len)
      out[o++] = static_cast<unsigned char>(triple >> 16);
    if (o < out_len)
      out[o++] = static_cast<unsigned char>(triple >> 8);
    if (o < out_len)
      out[o++] = static_cast<unsigned char>(triple);
  }
  out[out_len] = '\0';
  std::free(table);
  if (output_length)
    *output_length = out_len;
  return out;
}
