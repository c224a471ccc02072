// SPDX-License-Identifier: Apache-2.0
// Writes S-record text for the tests, independently of the parser.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace srec {

// One record line: 'S', type, byte count, address of addressBytes bytes, data,
// checksum, CR LF.
inline std::string Record(char type, uint32_t address, int addressBytes,
                          const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body;
    body.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : body) sum += b;
    body.push_back(static_cast<uint8_t>(~sum));
    std::string line = {'S', type};
    char hex[3];
    for (uint8_t b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line + "\r\n";
}

inline std::string S3(uint32_t address, const std::vector<uint8_t>& data) {
    return Record('3', address, 4, data);
}

inline const std::string Terminator = "S70500000000FA\r\n";

// A text of S3 records of 16 bytes (the last one shorter) holding image from
// address 0, closed by the terminator.
inline std::string Text(const std::vector<uint8_t>& image, size_t perRecord = 16) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += perRecord) {
        const size_t n = image.size() - at < perRecord ? image.size() - at : perRecord;
        text += S3(static_cast<uint32_t>(at),
                   std::vector<uint8_t>(image.begin() + static_cast<long>(at),
                                        image.begin() + static_cast<long>(at + n)));
    }
    return text + Terminator;
}

inline std::vector<uint8_t> Bytes(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 37);
    return v;
}

}  // namespace srec
