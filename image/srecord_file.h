// SPDX-License-Identifier: Apache-2.0
// S-record files from outside the program: a firmware someone was sent, or a
// back-up of a receiver's flash. The loader is as strict as the one for the
// built-in image (every record complete, checksummed and contiguous from
// address 0) but takes the forms other tools write: LF, CR LF or CR line
// ends, lower-case hex, S0 headers, S5/S6 counts and any of the S7/S8/S9
// ends (or, as some tools write when there is no start address, no end
// record after a matching S5/S6 count). Nothing but blank lines may follow the end record. When it
// refuses a text it says on which line and why.
#pragma once

#include <cstdint>

// Why a text was refused: the 1-based line number (0 when the text as a whole
// is at fault) and a short reason in plain words.
struct SRecordReport {
    uint32_t line;
    const char* reason;
};

// The rules a text is read by: the built-in image's (upper-case hex, CR LF
// after every line, a termination record, nothing after it read; see
// ParseSRecords) or a file's (as above). One parser serves both.
enum SRecordDialect {
    SRECORD_BUILT_IN = 0,
    SRECORD_FILE = 1,
};
uint32_t ParseSRecordText(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                          SRecordDialect dialect, SRecordReport* report);

// Parses text of textLength characters into out, which holds capacity bytes.
// Returns the number of image bytes, or 0 with *report filled (report may be
// null) when the text is refused. Only blank lines (empty, or spaces, tabs and
// CRs) may follow the termination record: anything else, such as a second
// file run on after the first, is refused on its line.
uint32_t ParseSRecordFile(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                          SRecordReport* report);

// An S0 header, then S3 records for length bytes of data from address 0, 16
// data bytes to a record, each line ending in CR LF, then the terminator
// "S70500000000FA".
// This is the form the built-in image has, so both loaders take it.
// SRecordS3TextLength gives the number of characters; SRecordWriteS3 writes
// them to out (which must hold that many) and returns the count, or 0 when
// capacity is too small.
uint32_t SRecordS3TextLength(uint32_t length);
uint32_t SRecordWriteS3(const uint8_t* data, uint32_t length, char* out, uint32_t capacity);
