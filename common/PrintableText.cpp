#include "PrintableText.h"

#include <cstdint>
#include <cstdio>

namespace {

enum class Mode { Text, Lines };

// Bytes of the well-formed UTF-8 character starting text[at] (2 to 4), or 0
// when the byte there does not start one.
size_t _utf8_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t n = 0;
  uint8_t low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0)
      low = 0xA0;  // overlong below
    else if (lead == 0xED)
      high = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;  // past U+10FFFF above
  } else {
    return 0;
  }
  if (at + n > text.size())
    return 0;
  if (byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < n; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
      return 0;
  return n;
}

std::string _escaped(const char* prefix, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%s%02x", prefix, value);
  return text;
}

// Calls piece(shown, characters) for each unit of the text in order: the
// text to write for it and how many characters that shows as.
template <class Piece>
void _each_piece(std::string_view text, Mode mode, Piece piece) {
  for (size_t at = 0; at < text.size();) {
    const uint8_t b = static_cast<uint8_t>(text[at]);
    if (b < 0x80) {
      ++at;
      if (mode == Mode::Lines && (b == '\n' || b == '\t'))
        piece(std::string(1, static_cast<char>(b)), 1);
      else if (b < 0x20 || b == 0x7F)
        piece(_escaped("\\x", b), 4);
      else if (b == '\\' && mode == Mode::Text)
        piece("\\\\", 2);
      else
        piece(std::string(1, static_cast<char>(b)), 1);
      continue;
    }
    const size_t n = _utf8_length(text, at);
    if (n == 0) {
      piece(_escaped("\\x", b), 4);
      ++at;
    } else if (n == 2 && b == 0xC2 && static_cast<uint8_t>(text[at + 1]) <= 0x9F) {
      piece(_escaped("\\u00", static_cast<uint8_t>(text[at + 1])), 6);
      at += n;
    } else {
      piece(std::string(text.substr(at, n)), 1);
      at += n;
    }
  }
}

// True when every byte of the text is shown as it is: the usual case.
bool _plain(std::string_view text, Mode mode) {
  for (char c : text) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b >= 0x20 && b < 0x7F && (b != '\\' || mode == Mode::Lines))
      continue;
    if (mode == Mode::Lines && (b == '\n' || b == '\t'))
      continue;
    return false;
  }
  return true;
}

std::string _printable(std::string_view text, Mode mode) {
  if (_plain(text, mode))
    return std::string(text);
  std::string out;
  out.reserve(text.size());
  _each_piece(text, mode, [&](const std::string& shown, size_t) { out += shown; });
  return out;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  return _printable(text, Mode::Text);
}

std::string PrintableLines(std::string_view text) {
  return _printable(text, Mode::Lines);
}

std::string PrintableColumn(std::string_view text, size_t width) {
  std::string out;
  size_t shown = 0;
  bool full = false;
  _each_piece(text, Mode::Text, [&](const std::string& piece, size_t characters) {
    if (full || shown + characters > width) {
      full = true;
      return;
    }
    out += piece;
    shown += characters;
  });
  out.append(width - shown, ' ');
  return out;
}
