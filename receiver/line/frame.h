// SPDX-License-Identifier: Apache-2.0
// The frame format as the receiver's own firmware reads and writes it: a
// big-endian length, the payload and a checksum byte that makes the sum of
// the whole frame 0, answered with one ACK or NAK byte. Written here from the
// wire format alone, so that a fault in the host's framing is not shared by
// its peer and missed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t SIM_ACK = 0x06;
constexpr uint8_t SIM_NAK = 0x15;

// The byte that brings the sum of data[0..count) to 0 modulo 256; a whole
// frame, checksum included, gives 0.
uint8_t SimFrameChecksum(const uint8_t* data, size_t count);
// Length, payload and checksum.
std::vector<uint8_t> SimFrame(const std::vector<uint8_t>& payload);

// Big-endian answer builder.
class SimWriter {
  public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v >> 8));
        U8(static_cast<uint8_t>(v));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v >> 16));
        U16(static_cast<uint16_t>(v));
    }
    void String(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        U8(0);
    }
    std::vector<uint8_t>& Result() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// Big-endian request reader; every read fails once the payload runs out.
class SimReader {
  public:
    SimReader(const uint8_t* data, size_t count) : data_(data), count_(count) {}
    bool U8(uint8_t* v) {
        if (pos_ + 1 > count_) return false;
        *v = data_[pos_++];
        return true;
    }
    bool U16(uint16_t* v) {
        uint8_t hi = 0, lo = 0;
        if (!U8(&hi) || !U8(&lo)) return false;
        *v = static_cast<uint16_t>(hi << 8 | lo);
        return true;
    }
    bool U32(uint32_t* v) {
        uint16_t hi = 0, lo = 0;
        if (!U16(&hi) || !U16(&lo)) return false;
        *v = uint32_t{hi} << 16 | lo;
        return true;
    }
    bool Bytes(size_t n, const uint8_t** out) {
        if (n > count_ - pos_) return false;
        *out = data_ + pos_;
        pos_ += n;
        return true;
    }
    bool String(std::string* out) {
        for (size_t i = pos_; i < count_; ++i) {
            if (data_[i] == 0) {
                out->assign(reinterpret_cast<const char*>(data_ + pos_), i - pos_);
                pos_ = i + 1;
                return true;
            }
        }
        return false;
    }
    bool AtEnd() const { return pos_ == count_; }

  private:
    const uint8_t* data_;
    size_t count_;
    size_t pos_ = 0;
};
