// SPDX-License-Identifier: Apache-2.0
// A scripted far end on the in-memory line: it takes the host's frames apart,
// acknowledges each one and answers through a handler, recording every request
// payload and the host rate it was sent at.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A frame as it goes on the wire: length, payload, checksum.
Bytes Frame(const Bytes& payload);
Bytes U32(uint32_t value);
Bytes U16(uint16_t value);
Bytes Cat(std::initializer_list<Bytes> parts);

// What the far end does with one request.
struct Reply {
    bool ack = true;       // acknowledge the request frame
    bool answer = true;    // then send an answer frame
    Bytes payload;         // the answer's payload
    bool corrupt = false;  // spoil the answer's checksum
};
Reply Answer(Bytes payload);
Reply AckOnly();  // acknowledged, never answered

struct Request {
    Bytes payload;
    uint32_t hostBaud;       // host rate when it went out
    uint32_t firstByteBaud;  // host rate when its first byte went out
};

// A byte the host sent after an answer (its ACK or NAK), with the host rate it
// went out at.
struct HostReply {
    uint8_t byte;
    uint32_t hostBaud;
};

class FramePeer {
  public:
    using Handler = std::function<Reply(const Bytes& request)>;

    // Installs itself as the line's peer.
    explicit FramePeer(Handler handler);
    ~FramePeer();
    FramePeer(const FramePeer&) = delete;
    FramePeer& operator=(const FramePeer&) = delete;

    void SetHandler(Handler handler) { handler_ = std::move(handler); }
    const std::vector<Request>& Requests() const { return requests_; }
    // Request payloads only.
    std::vector<Bytes> Payloads() const;
    // The first byte of every request.
    Bytes Codes() const;
    // Bytes the host sent after an answer (its ACK or NAK).
    const Bytes& HostReplies() const { return hostReplies_; }
    // The same bytes with their rates, one per answer, in order.
    const std::vector<HostReply>& HostRepliesWithRates() const { return hostReplyRates_; }

  private:
    void Take(const uint8_t* data, size_t count);

    Handler handler_;
    Bytes pending_;
    std::vector<uint32_t> pendingBauds_;  // the host rate of each pending byte
    bool awaitingHostReply_ = false;
    std::vector<Request> requests_;
    Bytes hostReplies_;
    std::vector<HostReply> hostReplyRates_;
};
