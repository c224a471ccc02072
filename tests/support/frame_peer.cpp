// SPDX-License-Identifier: Apache-2.0
#include "tests/support/frame_peer.h"

#include <algorithm>

#include "link/packet.h"
#include "platform/fake/fake_line.h"

Bytes Frame(const Bytes& payload) {
    Bytes frame(payload.size() + 2);
    frame[0] = static_cast<uint8_t>(payload.size() >> 8);
    frame[1] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    frame.push_back(PacketChecksum(frame.data(), static_cast<uint32_t>(frame.size())));
    return frame;
}

Bytes U32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes U16(uint16_t value) {
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Reply Answer(Bytes payload) {
    Reply reply;
    reply.payload = std::move(payload);
    return reply;
}

Reply AckOnly() {
    Reply reply;
    reply.answer = false;
    return reply;
}

FramePeer::FramePeer(Handler handler) : handler_(std::move(handler)) {
    FakeLineSetPeer([this](const uint8_t* data, size_t count) { Take(data, count); });
}

FramePeer::~FramePeer() {
    FakeLineSetPeer(nullptr);
}

std::vector<Bytes> FramePeer::Payloads() const {
    std::vector<Bytes> out;
    for (const Request& r : requests_) out.push_back(r.payload);
    return out;
}

Bytes FramePeer::Codes() const {
    Bytes out;
    for (const Request& r : requests_) out.push_back(r.payload.empty() ? 0xFF : r.payload[0]);
    return out;
}

void FramePeer::Take(const uint8_t* data, size_t count) {
    pending_.insert(pending_.end(), data, data + count);
    pendingBauds_.insert(pendingBauds_.end(), count, FakeLineHostBaud());
    for (;;) {
        if (awaitingHostReply_) {
            if (pending_.empty()) return;
            hostReplies_.push_back(pending_.front());
            hostReplyRates_.push_back(HostReply{pending_.front(), pendingBauds_.front()});
            pending_.erase(pending_.begin());
            pendingBauds_.erase(pendingBauds_.begin());
            awaitingHostReply_ = false;
            continue;
        }
        if (pending_.size() < 2) return;
        const size_t length = (size_t{pending_[0]} << 8) | pending_[1];
        if (pending_.size() < length + 3) return;
        const Bytes payload(pending_.begin() + 2, pending_.begin() + 2 + static_cast<long>(length));
        const bool good = PacketChecksum(pending_.data(), static_cast<uint32_t>(length + 3)) == 0;
        const uint32_t firstByteBaud = pendingBauds_.front();
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length + 3));
        pendingBauds_.erase(pendingBauds_.begin(),
                            pendingBauds_.begin() + static_cast<long>(length + 3));
        requests_.push_back(Request{payload, FakeLineHostBaud(), firstByteBaud});
        if (!good) {
            FakeLineSend({NAK});
            continue;
        }
        const Reply reply = handler_ ? handler_(payload) : AckOnly();
        if (reply.ack) FakeLineSend({ACK});
        if (reply.ack && reply.answer) {
            Bytes frame = Frame(reply.payload);
            if (reply.corrupt) frame.back() = static_cast<uint8_t>(frame.back() + 1);
            FakeLineSend(frame);
            awaitingHostReply_ = true;
        }
    }
}
