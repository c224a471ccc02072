// SPDX-License-Identifier: Apache-2.0
// Lines of firmware texts. Editors and tools end lines with LF or CR LF, and
// old Mac tools with a CR alone: a text with no LF at all is split at its
// CRs. Blank lines are taken at the end of a file and nowhere else.
#pragma once

#include <cstdint>
#include <cstring>

namespace text_lines {

// Spaces, tabs and the CR of a CR LF line end.
inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The character that ends the text's lines: '\r' when it holds CRs and no LF.
inline char LineEndOf(const char* text, uint32_t length) {
    if (length == 0 || std::memchr(text, '\n', length) != nullptr) return '\n';
    return std::memchr(text, '\r', length) != nullptr ? '\r' : '\n';
}

// The line starting at pos: returns where its content ends (a CR before an LF
// left out) and sets *next to where the line after it starts.
inline uint32_t LineAt(const char* text, uint32_t length, uint32_t pos, char lineEnd,
                       uint32_t* next) {
    uint32_t end = pos;
    while (end < length && text[end] != lineEnd) ++end;
    *next = end < length ? end + 1 : end;
    if (lineEnd == '\n' && end > pos && text[end - 1] == '\r') --end;
    return end;
}

// text starts a line, the one after line *lineNumber. Returns the offset of
// the first line holding anything but blanks and sets *lineNumber to it, or
// returns length (and leaves *lineNumber) when every line is blank.
inline uint32_t FirstNonBlankLine(const char* text, uint32_t length, uint32_t* lineNumber,
                                  char lineEnd = '\n') {
    uint32_t lineStart = 0;
    uint32_t line = *lineNumber + 1;
    for (uint32_t i = 0; i < length; ++i) {
        if (text[i] == lineEnd) {
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
