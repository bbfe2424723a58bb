#pragma once
// Line reading on a stdio stream, for readers that open their file
// themselves (relative to a directory, without following links) and so hold
// a FILE* rather than an aFile.

#include <cstddef>
#include <cstdio>

#include "aError.h"

// One line, its newline included, into buf (size >= 2, NUL-terminated) with
// its length in *len: aErrEOF at the end, aErrOverrun when the buffer filled
// before the line ended, aErrIO on a read error.
aErr aFile_ReadStreamLine(FILE* stream, char* buf, size_t size, size_t* len);
