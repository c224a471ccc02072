// SPDX-License-Identifier: Apache-2.0
// The flash as a file: the contents it starts with, and the dump written
// for the host's tests to compare. Raw binary, or S-records when the name
// says so, so that a bench can be staged from either form. The S-record code
// is the simulator's own: it shares nothing with the host's loader it checks.
#include "receiver/flash/flash_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "receiver/state.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) return false;
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(), [](char a, char b) {
        return a == static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
    });
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One record's bytes (count, address, data, checksum) from its hex text;
// false on a bad digit, an odd length, a count that disagrees or a bad sum.
bool RecordBytes(const std::string& hex, std::vector<uint8_t>* bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (bytes->empty() || (*bytes)[0] + 1U != bytes->size()) return false;
    unsigned sum = 0;
    for (uint8_t byte : *bytes) sum += byte;
    return (sum & 0xFF) == 0xFF;
}

}  // namespace

bool IsSRecordName(const std::string& path) {
    for (const char* tail : {".srec", ".s19", ".s28", ".s37", ".s3", ".mot", ".s"}) {
        if (EndsWith(path, tail)) return true;
    }
    return false;
}

bool LoadSRecordsInto(const std::string& text, std::vector<uint8_t>* cells, std::string* error) {
    std::istringstream lines(text);
    std::string line;
    std::vector<uint8_t> bytes;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto fail = [&](const char* why) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (line.size() < 4 || line[0] != 'S' || HexDigit(line[1]) < 0 || line[1] > '9') {
            return fail("not an S-record");
        }
        if (!RecordBytes(line.substr(2), &bytes)) return fail("bad record length or checksum");
        const int type = line[1] - '0';
        const size_t addressBytes = type == 1 ? 2 : type == 2 ? 3 : type == 3 ? 4 : 0;
        if (addressBytes == 0) continue;  // header, counts and ends carry no data
        if (bytes.size() < 2 + addressBytes) return fail("record shorter than its address");
        uint64_t address = 0;
        for (size_t i = 0; i < addressBytes; ++i) address = address << 8 | bytes[1 + i];
        const size_t dataLength = bytes.size() - 2 - addressBytes;
        if (address + dataLength > cells->size()) return fail("data beyond the end of the flash");
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes), dataLength,
                    cells->begin() + static_cast<std::ptrdiff_t>(address));
    }
    return true;
}

std::string FlashAsSRecords(const std::vector<uint8_t>& cells) {
    // Erased bytes at the end are left out, as a back-up of the flash would.
    size_t used = cells.size();
    while (used > 0 && cells[used - 1] == 0xFF) --used;
    std::string text = "S00F00007A656C7661722D666C61736821\n";  // "zelvar-flash"
    constexpr size_t PER_RECORD = 32;
    char record[2 * (PER_RECORD + 6) + 8];
    for (size_t at = 0; at < used; at += PER_RECORD) {
        const size_t length = std::min(PER_RECORD, used - at);
        unsigned sum = static_cast<unsigned>(length + 5);
        int n = std::snprintf(record, sizeof record, "S3%02X%08X",
                              static_cast<unsigned>(length + 5), static_cast<unsigned>(at));
        for (int shift = 0; shift < 32; shift += 8)
            sum += static_cast<unsigned>((at >> shift) & 0xFF);
        for (size_t i = 0; i < length; ++i) {
            n += std::snprintf(record + n, sizeof record - static_cast<size_t>(n), "%02X",
                               cells[at + i]);
            sum += cells[at + i];
        }
        std::snprintf(record + n, sizeof record - static_cast<size_t>(n), "%02X\n", ~sum & 0xFFU);
        text += record;
    }
    text += "S70500000000FA\n";
    return text;
}

bool ReceiverState::LoadFlashFile() {
    std::ifstream file(config.flashFile, std::ios::binary);
    if (!file) {
        configError = "cannot read the flash file " + config.flashFile;
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::vector<uint8_t>& cells = flash.Cells();
    if (IsSRecordName(config.flashFile)) {
        std::string error;
        if (!LoadSRecordsInto(std::string(bytes.begin(), bytes.end()), &cells, &error)) {
            configError = "the flash file " + config.flashFile + ", " + error;
            return false;
        }
        return true;
    }
    if (bytes.size() > cells.size()) {
        configError = "the flash file " + config.flashFile + " is larger than the flash (" +
                      std::to_string(cells.size()) + " bytes)";
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), cells.begin());
    return true;
}

bool ReceiverState::WriteFile(const std::string& path, std::string* error) const {
    const std::vector<uint8_t>& cells = flash.Cells();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (IsSRecordName(path)) {
        file << FlashAsSRecords(cells);
    } else {
        file.write(reinterpret_cast<const char*>(cells.data()),
                   static_cast<std::streamsize>(cells.size()));
    }
    file.close();
    if (!file) {
        if (error) *error = "cannot write the flash to " + path;
        return false;
    }
    return true;
}
