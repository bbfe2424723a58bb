#pragma once
// Text that came from outside the program (a module's name, the update
// server's answers, a BIRD file's descriptor, a file name found in the
// store) made fit to write to a terminal: a terminal obeys the control
// characters in what it is given, so a module could otherwise clear the
// screen, retitle the window or set the clipboard through a listing.
//
// The rule, one for every writer:
//  - The text is read as UTF-8. A well-formed character (shortest form, no
//    surrogate, at most U+10FFFF) stays as it is, except the C1 controls
//    U+0080 to U+009F, shown as \u0080 to \u009f.
//  - C0 controls (0x00 to 0x1F, ESC among them) and DEL (0x7F) are shown as
//    \x00 to \x1f and \x7f.
//  - Every byte that is not part of a well-formed character (a stray 0x80 to
//    0xBF, a lead byte without its continuation, an overlong form) is shown
//    as \xNN, so a lone 0x9B never reaches a terminal that would take it for
//    a control sequence introducer; what is written is always valid UTF-8.
//  - A backslash is shown as \\, so "\x1b" on the screen always means the
//    byte ESC and never four characters the sender chose.
// Plain ASCII text without controls or backslashes, and valid UTF-8 text,
// come out unchanged.

#include <cstddef>
#include <string>
#include <string_view>

// One outside string, to be placed inside a message of the program's own.
std::string PrintableText(std::string_view text);

// A whole message or diagnostic line as the program formatted it: line ends
// and tabs stay (the program's formats use them) and backslashes stay as
// they are (text already made printable passes unchanged); every other
// control and every malformed byte is shown as above. What writes to
// standard output or standard error passes its text through this last.
std::string PrintableLines(std::string_view text);

// PrintableText fitted to a table column of `width` characters: cut to at
// most `width` visible characters (never inside an escape or a character)
// and padded with blanks to `width`. A column's width counts characters as
// they show, not bytes, so UTF-8 and escaped text line up as plain text does.
std::string PrintableColumn(std::string_view text, size_t width);
