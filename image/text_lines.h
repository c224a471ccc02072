// SPDX-License-Identifier: Apache-2.0
// Blank lines in firmware texts: editors and tools leave them at the end of a
// file, and the loaders take them there and nowhere else.
#pragma once

#include <cstdint>

namespace text_lines {

// Spaces, tabs and the CR of a CR LF line end.
inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// text starts a line, the one after line *lineNumber. Returns the offset of
// the first line holding anything but blanks and sets *lineNumber to it, or
// returns length (and leaves *lineNumber) when every line is blank.
inline uint32_t FirstNonBlankLine(const char* text, uint32_t length, uint32_t* lineNumber) {
    uint32_t lineStart = 0;
    uint32_t line = *lineNumber + 1;
    for (uint32_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            lineStart = i + 1;
            ++line;
        } else if (!IsBlank(text[i])) {
            *lineNumber = line;
            return lineStart;
        }
    }
    return length;
}

}  // namespace text_lines
