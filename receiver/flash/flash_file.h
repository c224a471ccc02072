// SPDX-License-Identifier: Apache-2.0
// The flash's contents as a file: raw binary, or S-records when the name ends
// as S-record files do (.srec .s19 .s28 .s37 .s3 .mot .s).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool IsSRecordName(const std::string& path);
// Puts the data of S1/S2/S3 records at their addresses in cells; other
// records carry no data. False, with "line N: why" in *error, on a record
// that is not well formed or data beyond the end of cells.
bool LoadSRecordsInto(const std::string& text, std::vector<uint8_t>* cells, std::string* error);
// An S0 header, S3 records of 32 bytes from address 0 (erased bytes at the
// end left out) and an S7 end.
std::string FlashAsSRecords(const std::vector<uint8_t>& cells);
