// What outside text looks like once it is fit for a terminal: controls and
// malformed bytes shown as escapes, everything else left as it was.
#include <gtest/gtest.h>

#include <string>

#include "PrintableText.h"

namespace {

struct TextCase {
  const char* name;
  std::string in;
  std::string text;   // PrintableText
  std::string lines;  // PrintableLines
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class Printable : public ::testing::TestWithParam<TextCase> {};

TEST_P(Printable, ShowsControlsAsEscapesAndKeepsText) {
  const TextCase& c = GetParam();
  EXPECT_EQ(PrintableText(c.in), c.text);
  EXPECT_EQ(PrintableLines(c.in), c.lines);
  // Once printable, text stays as it is: a writer may pass it through again.
  EXPECT_EQ(PrintableLines(PrintableText(c.in)), PrintableText(c.in));
}

INSTANTIATE_TEST_SUITE_P(
    Rule, Printable,
    ::testing::Values(
        TextCase{"PlainAscii", "Norquil 2.16.0 [Lab #3]", "Norquil 2.16.0 [Lab #3]", "Norquil 2.16.0 [Lab #3]"},
        TextCase{"Utf8", "Zürich \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD", "Zürich \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD",
                 "Zürich \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD"},
        // Clear screen, then an OSC 52 clipboard write ended by BEL.
        TextCase{"ScreenAndClipboard", "\x1b[2J\x1b]52;c;aGk=\x07", "\\x1b[2J\\x1b]52;c;aGk=\\x07",
                 "\\x1b[2J\\x1b]52;c;aGk=\\x07"},
        TextCase{"EveryC0AndDel", std::string("\x00\x01\x1f\x7f", 4), "\\x00\\x01\\x1f\\x7f", "\\x00\\x01\\x1f\\x7f"},
        // The program's own line ends and tabs survive a whole line; in one
        // outside string they would forge a line or shift a column.
        TextCase{"LineEndsAndTabs", "a\nb\tc\rd", "a\\x0ab\\x09c\\x0dd", "a\nb\tc\\x0dd"},
        // C1 as code points (CSI is U+009B, NEL U+0085); U+00A0 is text.
        TextCase{"C1CodePoints", "\xC2\x9B" "31m\xC2\x85\xC2\xA0", "\\u009b31m\\u0085\xC2\xA0", "\\u009b31m\\u0085\xC2\xA0"},
        // A lone 0x9B is CSI to an 8-bit terminal.
        TextCase{"StrayC1Bytes", "\x9b" "2J\x80\x9f", "\\x9b2J\\x80\\x9f", "\\x9b2J\\x80\\x9f"},
        TextCase{"Latin1Byte", "caf\xE9", "caf\\xe9", "caf\\xe9"},
        TextCase{"CutCharacter", "ab\xE2\x82", "ab\\xe2\\x82", "ab\\xe2\\x82"},
        // Overlong ESC, a surrogate, and a code point past U+10FFFF.
        TextCase{"MalformedForms", "\xC0\x9B\xED\xA0\x80\xF4\x90\x80\x80",
                 "\\xc0\\x9b\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80", "\\xc0\\x9b\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
        // A backslash of the sender's own cannot pass for an escape; lines
        // leave backslashes alone, so escaped text is not escaped twice.
        TextCase{"Backslash", "C:\\x1b", "C:\\\\x1b", "C:\\x1b"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ColumnCase {
  const char* name;
  std::string in;
  size_t width;
  std::string out;
};

void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.name; }

class Column : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(Column, CountsCharactersAsTheyShow) {
  const ColumnCase& c = GetParam();
  EXPECT_EQ(PrintableColumn(c.in, c.width), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, Column,
    ::testing::Values(
        // What "%-15.15s" gives for plain text.
        ColumnCase{"PaddedLikePrintf", "99528558", 15, "99528558       "},
        ColumnCase{"CutLikePrintf", "2.16.0-beta+build.7", 15, "2.16.0-beta+bui"},
        ColumnCase{"Empty", "", 4, "    "},
        // Three characters, seven bytes: padded by what shows.
        ColumnCase{"Utf8", "\xC3\xBC\xE2\x82\xAC" "a", 6, "\xC3\xBC\xE2\x82\xAC" "a   "},
        ColumnCase{"EscapeFits", "\x1b[2J", 10, "\\x1b[2J   "},
        // An escape that would cross the edge is left out whole.
        ColumnCase{"EscapeNotCut", "1.2.3\x1b[?1049h", 15, "1.2.3\\x1b[?1049"},
        ColumnCase{"EscapeAtEdgeLeftOut", "123456789012\x1b", 15, "123456789012   "},
        ColumnCase{"CharacterNotCut", "abcd\xE2\x82\xAC", 4, "abcd"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
