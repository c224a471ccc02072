// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "payloads/payloads.h"
#include "tests/image/srecord_text.h"

namespace {

struct Parsed {
    uint32_t count;
    std::vector<uint8_t> image;
};

// Parses from a heap copy of exactly the text's size with an output of exactly
// text / 2 bytes, so the sanitizer catches any read or write beyond either.
Parsed Parse(const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    std::unique_ptr<char[]> in(new char[length == 0 ? 1 : length]);
    std::copy(text.begin(), text.end(), in.get());
    const uint32_t room = length / 2;
    std::unique_ptr<uint8_t[]> out(new uint8_t[room == 0 ? 1 : room]);
    const uint32_t count = ParseSRecords(in.get(), length, out.get());
    EXPECT_LE(count, room);
    return {count, std::vector<uint8_t>(out.get(), out.get() + count)};
}

const std::string& Embedded() {
    static const std::string text(reinterpret_cast<const char*>(FirmwareSRecordText),
                                  FirmwareSRecordTextLength);
    return text;
}

TEST(SRecordEmbedded, ParsesToTheFirmwareFigures) {
    const Parsed p = Parse(Embedded());
    ASSERT_EQ(p.count, 482008u);
    const std::vector<uint8_t> head = {0x39, 0x00, 0x00, 0xEA, 0x0E, 0x00, 0x00, 0xEA};
    const std::vector<uint8_t> tail = {0x00, 0x00, 0x80, 0x7F, 0x00, 0x00, 0xC0, 0x7F};
    EXPECT_EQ(std::vector<uint8_t>(p.image.begin(), p.image.begin() + 8), head);
    EXPECT_EQ(std::vector<uint8_t>(p.image.end() - 8, p.image.end()), tail);
    uint16_t crc = 0;
    Crc16Update(p.image.data(), p.count, 0xFFFF, &crc);
    EXPECT_EQ(crc, 0xB73C);
}

TEST(SRecordEmbedded, LastRecordHoldsEightBytes) {
    const std::string& text = Embedded();
    const std::string last = "S30D00075AD0";
    const size_t at = text.rfind(last);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at + last.size() + 16 + 2), "\r\n" + srec::Terminator);
    // Without that record the image is exactly 8 bytes shorter, the same otherwise.
    const Parsed whole = Parse(text);
    const Parsed shorter = Parse(text.substr(0, at) + srec::Terminator);
    ASSERT_EQ(shorter.count, 482000u);
    EXPECT_EQ(whole.count - shorter.count, 8u);
    EXPECT_TRUE(std::equal(shorter.image.begin(), shorter.image.end(), whole.image.begin()));
}

TEST(SRecordEmbedded, MatchesSrecCat) {
#ifdef _WIN32
    GTEST_SKIP() << "srec_cat is a program of the build host; the native build runs this check";
#endif
    const std::string srecCat = ZELVAR_SREC_CAT;
    ASSERT_FALSE(srecCat.empty())
        << "srec_cat was not found when the build was configured; install the Debian package "
           "srecord and configure again. This cross-check must not be skipped.";
    const std::string out = testing::TempDir() + "zelvar_srec_cat_image.bin";
    std::remove(out.c_str());
    const std::string command =
        "'" + srecCat + "' '" ZELVAR_FIRMWARE_FILE "' -o '" + out + "' -binary 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(out, std::ios::binary);
    const std::vector<uint8_t> reference{std::istreambuf_iterator<char>(in), {}};
    std::remove(out.c_str());

    // The file srec_cat read is the one linked in.
    std::ifstream file(ZELVAR_FIRMWARE_FILE, std::ios::binary);
    const std::string fileText{std::istreambuf_iterator<char>(file), {}};
    ASSERT_EQ(fileText, Embedded());

    const Parsed p = Parse(Embedded());
    ASSERT_EQ(p.count, reference.size());
    EXPECT_TRUE(p.image == reference);
}

TEST(SRecordParse, RecordsOfAnyLengthAppendInOrder) {
    const std::vector<uint8_t> image = srec::Bytes(100);
    for (size_t perRecord : {1u, 7u, 16u, 32u, 100u}) {
        const Parsed p = Parse(srec::Text(image, perRecord));
        EXPECT_EQ(p.image, image) << perRecord << " bytes per record";
    }
}

TEST(SRecordParse, TerminatorEndsTheParse) {
    const std::vector<uint8_t> image = srec::Bytes(32);
    // Whatever follows the terminator, even garbage or a further record, is not read.
    for (const std::string& after :
         {std::string("garbage"), srec::S3(32, srec::Bytes(4)), std::string("S3")}) {
        const Parsed p = Parse(srec::Text(image) + after);
        EXPECT_EQ(p.image, image);
    }
}

TEST(SRecordParse, OtherTerminationRecordsEndTheParse) {
    const std::vector<uint8_t> image = srec::Bytes(20);
    std::string body = srec::Text(image);
    body.resize(body.size() - srec::Terminator.size());
    for (const std::string& end : {srec::Record('7', 0x100, 4, {}), srec::Record('8', 0, 3, {}),
                                   srec::Record('9', 0x20, 2, {})}) {
        EXPECT_EQ(Parse(body + end).image, image) << end;
    }
}

// A header (S0) names the image and holds no data: it is checked and skipped.
// A count record (S5/S6) must give the number of data records before it. Data
// records with 16- and 24-bit addresses continue the image like S3 ones.
TEST(SRecordParse, OtherRecordKinds) {
    const std::vector<uint8_t> a = srec::Bytes(16, 3);
    const std::vector<uint8_t> b = srec::Bytes(16, 9);
    const std::string header = srec::Record('0', 0, 2, {'f', 'w', '.', 's'});
    const std::string twoData = srec::S3(0, a) + srec::S3(16, b);
    std::vector<uint8_t> ab = a;
    ab.insert(ab.end(), b.begin(), b.end());

    struct Case {
        const char* what;
        std::string text;
        uint32_t count;
    };
    const Case cases[] = {
        {"header first", header + twoData + srec::Terminator, 32},
        {"header in between", srec::S3(0, a) + header + srec::S3(16, b) + srec::Terminator, 32},
        {"S5 with the right count", twoData + srec::Record('5', 2, 2, {}) + srec::Terminator, 32},
        {"S6 with the right count", twoData + srec::Record('6', 2, 3, {}) + srec::Terminator, 32},
        {"S5 with a wrong count", twoData + srec::Record('5', 3, 2, {}) + srec::Terminator, 0},
        {"S5 counting a header", header + twoData + srec::Record('5', 3, 2, {}) + srec::Terminator,
         0},
        {"S5 with data", twoData + srec::Record('5', 2, 2, {1}) + srec::Terminator, 0},
        {"S1 and S2 data",
         srec::Record('1', 0, 2, a) + srec::Record('2', 16, 3, b) + srec::Record('9', 0, 2, {}),
         32},
        {"S4 is reserved", srec::S3(0, a) + srec::Record('4', 0, 4, {}) + srec::Terminator, 0},
        {"terminator with data", srec::S3(0, a) + srec::Record('7', 0, 4, {1}), 0},
        {"terminator only", srec::Terminator, 0},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.count, c.count) << c.what;
        if (c.count == 32) {
            EXPECT_EQ(p.image, ab) << c.what;
        }
    }
}

// Each damage must yield no image at all, never a plausible one.
TEST(SRecordParse, DamagedTextYieldsNoImage) {
    const std::vector<uint8_t> image = srec::Bytes(48);
    const std::string good = srec::Text(image);  // three S3 records of 16 bytes
    ASSERT_EQ(Parse(good).count, 48u);
    const size_t line = 48;  // characters per record line
    auto replaced = [&](size_t at, const std::string& with) {
        std::string t = good;
        t.replace(at, with.size(), with);
        return t;
    };
    auto without = [&](size_t at, size_t n) { return std::string(good).erase(at, n); };
    const std::vector<uint8_t> b16 = srec::Bytes(16, 77);
    const std::string rest = good.substr(line);

    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"no terminator", good.substr(0, good.size() - srec::Terminator.size())},
        {"terminator without CR LF", good.substr(0, good.size() - 2)},
        {"wrong data checksum", replaced(line + 12, good[line + 12] == '0' ? "1" : "0")},
        {"wrong checksum digit", replaced(line + 44, good[line + 44] == 'F' ? "E" : "F")},
        {"wrong terminator checksum", replaced(3 * line, "S70500000000FB")},
        {"gap in the addresses", srec::S3(0, b16) + srec::S3(32, b16) + srec::Terminator},
        {"records out of order", srec::S3(16, b16) + srec::S3(0, b16) + srec::Terminator},
        {"overlapping records", srec::S3(0, b16) + srec::S3(8, b16) + srec::Terminator},
        {"first record not at 0", srec::S3(1, b16) + srec::Terminator},
        {"byte count too large", replaced(line + 2, "16")},
        {"byte count too small", replaced(line + 2, "14")},
        {"byte count below the address", srec::S3(0, b16) + "S30300FC\r\n" + srec::Terminator},
        {"one data digit missing", without(line + 20, 1)},
        {"one data byte missing", without(line + 20, 2)},
        {"LF line end only", without(line + 46, 1)},
        {"CR line end only", without(line + 47, 1)},
        {"no line end", without(line + 46, 2)},
        {"other characters for the line end", replaced(line + 46, "  ")},
        {"line end reversed", replaced(line + 46, "\n\r")},
        {"blank line", good.substr(0, line) + "\r\n" + rest},
        {"lower-case record mark", replaced(line, "s")},
        {"unknown record type", replaced(line + 1, "X")},
        {"empty text", ""},
        {"text of one S", "S"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.text).count, 0u) << c.what;
    }
}

// Every character of a data, address, count or checksum field must be an
// upper-case hex digit: try each non-digit at each field position of a record.
TEST(SRecordParse, NonHexCharacterInAnyFieldYieldsNoImage) {
    const std::string good = srec::Text(srec::Bytes(16, 0xA0));
    const std::string notHex = "ghabcdef:;<=>?@GZ \t\r\n\x01\x80\xFF/";
    for (size_t at = 2; at < 46; ++at) {
        for (char c : notHex) {
            std::string t = good;
            t[at] = c;
            EXPECT_EQ(Parse(t).count, 0u) << "'" << c << "' at " << at;
        }
    }
}

TEST(SRecordParse, LowerCaseHexIsRefused) {
    std::string t = srec::Text({0xAB, 0xCD, 0xEF});
    ASSERT_EQ(t.substr(12, 6), "ABCDEF");
    ASSERT_EQ(Parse(t).count, 3u);
    for (size_t at = 12; at < 18; ++at) {
        std::string lower = t;
        lower[at] = static_cast<char>(lower[at] - 'A' + 'a');
        EXPECT_EQ(Parse(lower).count, 0u) << at;
    }
}

// Any proper prefix of a good text is truncated: no image, and no read past
// its end (checked by the sanitizers over the exact-size copy).
TEST(SRecordParse, EveryTruncationYieldsNoImage) {
    std::string good = srec::Record('0', 0, 2, {'h', 'd', 'r'}) + srec::Text(srec::Bytes(40));
    good.insert(good.size() - srec::Terminator.size(), srec::Record('5', 3, 2, {}));
    ASSERT_EQ(Parse(good).count, 40u);
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_EQ(Parse(good.substr(0, n)).count, 0u) << n << " characters";
    }
}

TEST(SRecordParse, NullArgumentsYieldNoImage) {
    const std::string t = srec::Text(srec::Bytes(4));
    uint8_t out[64];
    EXPECT_EQ(ParseSRecords(nullptr, 10, out), 0u);
    EXPECT_EQ(ParseSRecords(t.data(), static_cast<uint32_t>(t.size()), nullptr), 0u);
    EXPECT_EQ(ParseSRecords(t.data(), static_cast<uint32_t>(t.size()), out), 4u);
}

}  // namespace
