// Base64 (RFC 4648 section 4 alphabet, "=" padding) for the BIRD text the
// update server sends. Both functions hand back malloc'd memory that the
// caller releases with free().
#pragma once

#include <cstddef>

// Encodes `input_length` bytes. Returns a NUL-terminated text of
// 4 * ceil(n / 3) characters and stores that count in *output_length;
// null when memory runs out (or when data is null with a non-zero length).
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

// Decodes `input_length` characters. Trailing CR or LF characters (a line end
// the server left on the text) are ignored. Fails (null) when the remaining
// length is not a multiple of 4, when a character lies outside the alphabet,
// when "=" appears anywhere but in the last one or two places, and when memory
// runs out. On success the decoded bytes are followed by one NUL byte that is
// not counted in *output_length. An empty text decodes to an empty buffer.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);
