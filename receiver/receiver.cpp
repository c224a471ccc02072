#include "receiver/receiver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>

#include "link/packet.h"
#include "receiver/clock_board.h"
#include "receiver/uart.h"

namespace {

constexpr double BOOT_ROM_BAUD = 38400.0;
// The receiver's own frame buffer holds the largest request of the system.
constexpr size_t MAX_REQUEST_PAYLOAD = 1285;
// One more than the host's buffer takes.
constexpr size_t OVERSIZE_PAYLOAD = 1288;
// Largest answer payload: code, status word and the data of a read.
constexpr size_t MAX_ANSWER_PAYLOAD = 1287;
constexpr uint32_t ANSWER_FIXED_BYTES = 5;
constexpr uint32_t AGENT_FLASH_WINDOW = 0x20000;
constexpr uint8_t LOAD_CODE_0 = 0x24;
constexpr uint8_t LOAD_CODE_1 = 0x53;
constexpr uint8_t LOAD_ANSWER = 0x25;
constexpr uint8_t CODE_DISCONNECT = 34;
// How long the receiver waits for the acknowledgement of its answer.
constexpr double ACK_WAIT_MS = 2000;
const char AGENT_VERSION_TEXT[] = "2.0";

// Big-endian answer builder.
class Writer {
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
    void Bytes(const uint8_t* data, size_t count) {
        bytes_.insert(bytes_.end(), data, data + count);
    }
    std::vector<uint8_t>& Result() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// Big-endian request reader; every read fails once the payload runs out.
class Reader {
  public:
    Reader(const uint8_t* data, size_t count) : data_(data), count_(count) {}
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

bool SupportedProcessor(uint8_t chipId) {
    return chipId == 0x20 || chipId == 0x22 || chipId == 0x23 || chipId == 0x30 || chipId == 0x35;
}

std::vector<uint8_t> Framed(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(PacketChecksum(frame.data(), static_cast<uint32_t>(frame.size())));
    return frame;
}

}  // namespace

uint16_t SimCrc16(const uint8_t* data, size_t count, uint16_t crc) {
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

const char* FrameFaultName(FrameFault fault) {
    switch (fault) {
        case FrameFault::Nak:
            return "nak";
        case FrameFault::CorruptAnswer:
            return "corrupt-answer";
        case FrameFault::DropAnswer:
            return "drop-answer";
        case FrameFault::WrongCode:
            return "wrong-code";
        case FrameFault::TrailingByte:
            return "trailing-byte";
        case FrameFault::Stall:
            return "stall";
        case FrameFault::OversizeAnswer:
            return "oversize-answer";
    }
    return "?";
}

struct Receiver::State {
    ReceiverConfig config;
    bool ok = true;
    std::string configError;
    const FlashPart* physical = nullptr;  // the part soldered to the bus
    Output out;
    OutputAt outAt;
    std::function<void(const std::string&)> log;

    ReceiverStage stage = ReceiverStage::BootRom;
    double uartRate = BOOT_ROM_BAUD;
    double clockScale = 1.0;  // real system clock / the clock the synthesizer was set for
    std::vector<uint8_t> flash;

    // Line.
    std::vector<uint8_t> rx;
    double lastRxMs = 0;
    double txFreeAt = 0;
    double cpuFreeAt = 0;
    double inputMs = 0;
    // Like the host, the receiver takes the acknowledgement of an answer
    // before it changes its rate (SetBaud) or resets (disconnect): the host
    // sends it at the old rate and changes its own right after.
    enum class AfterAck { None, LoadDivisor, BootRom };
    AfterAck afterAck = AfterAck::None;
    uint16_t afterAckDivisor = 0;
    double afterAckDeadline = 0;
    uint32_t hostBaud = 0;

    ReceiverCounters counters;
    ClockRecord clock;
    std::vector<uint8_t> firstStage;
    std::vector<uint8_t> agentMemory;

    // Agent.
    bool open = false;
    uint32_t units = 1;
    FlashPart part;
    uint64_t flashSize = 0;
    uint32_t programBuffer = 2;

    void Log(const std::string& text) {
        if (log) log(text);
    }

    // --- the line ---------------------------------------------------------

    bool HostMatches() const {
        return hostBaud == 0 || UartRatesMatch(uartRate, hostBaud, config.uartTolerance);
    }

    double ByteMs(double rate) const { return rate > 0 ? 10000.0 / rate : 0; }

    // Sends bytes that are ready at readyAt (absolute ms); they leave when the
    // transmitter is free and, with wire timing, take their time on the line.
    void Emit(const std::vector<uint8_t>& bytes, double readyAt) {
        if (uartRate <= 0 || bytes.empty()) return;
        const double start = std::max(readyAt, txFreeAt);
        const double end =
            start + (config.wireTiming ? static_cast<double>(bytes.size()) * ByteMs(uartRate) : 0);
        txFreeAt = end;
        counters.bytesToHost[hostBaud] += bytes.size();
        if (!out && !outAt) return;
        const double rel = std::max(end - inputMs, 0.0);
        const uint64_t delay = static_cast<uint64_t>(std::ceil(rel - 1e-9));
        const auto send = [&](const uint8_t* data, size_t count) {
            if (outAt) {
                outAt(data, count, rel);
            } else {
                out(data, count, delay);
            }
        };
        if (HostMatches()) {
            send(bytes.data(), bytes.size());
        } else {
            const std::vector<uint8_t> seen =
                UartResample(bytes.data(), bytes.size(), uartRate, hostBaud);
            if (!seen.empty()) send(seen.data(), seen.size());
        }
    }

    void SendAckByte(uint8_t byte, double at) {
        Emit({byte}, at);
        if (byte == ACK) {
            ++counters.acksSent;
        } else {
            ++counters.naksSent;
        }
    }

    // ACK the frame, then (when there is one) the answer, with the frame's
    // fault applied. workMs is the time the request takes to carry out.
    bool Respond(uint32_t frameNo, double done, uint32_t ackDelay,
                 std::optional<std::vector<uint8_t>> answer, double workMs = 0) {
        const double t = std::max(done, cpuFreeAt);
        const double ackAt = t + ackDelay;
        SendAckByte(ACK, ackAt);
        cpuFreeAt = ackAt;
        if (!answer) {
            ++counters.ignored;
            return false;
        }
        double ready = ackAt + config.answerDelayMs + workMs;
        cpuFreeAt = ready;
        std::vector<uint8_t>& payload = *answer;
        const auto fault = config.faults.frames.find(frameNo);
        bool corrupt = false;
        if (fault != config.faults.frames.end()) {
            switch (fault->second) {
                case FrameFault::DropAnswer:
                    Log("  answer dropped (fault)");
                    return false;
                case FrameFault::Stall:
                    ready += config.faults.stallMs;
                    break;
                case FrameFault::WrongCode:
                    payload[0] = static_cast<uint8_t>(payload[0] + 2);
                    break;
                case FrameFault::TrailingByte:
                    payload.push_back(0);
                    break;
                case FrameFault::OversizeAnswer:
                    payload.resize(OVERSIZE_PAYLOAD, 0);
                    break;
                case FrameFault::CorruptAnswer:
                    corrupt = true;
                    break;
                case FrameFault::Nak:
                    break;
            }
            Log(std::string("  answer fault: ") + FrameFaultName(fault->second));
        }
        std::vector<uint8_t> frame = Framed(payload);
        if (corrupt) frame[frame.size() - 2] ^= 0x5A;
        Emit(frame, ready);
        ++counters.answersSent;
        char line[64];
        std::snprintf(line, sizeof line, "  -> answer %u, %zu bytes", payload[0], payload.size());
        Log(line);
        return true;
    }

    // Runs action once the host has acknowledged the answer just sent (or
    // gave up on it); at once when no answer went out.
    void AfterAcknowledgement(bool answered, AfterAck action, uint16_t divisor = 0) {
        afterAck = action;
        afterAckDivisor = divisor;
        afterAckDeadline = txFreeAt + ACK_WAIT_MS;
        if (!answered) RunAfterAck();
    }

    void RunAfterAck() {
        const AfterAck action = afterAck;
        afterAck = AfterAck::None;
        if (action == AfterAck::LoadDivisor) SetDivisor(afterAckDivisor);
        if (action == AfterAck::BootRom) Reset(ReceiverStage::BootRom);
    }

    // The byte after an answer that changes the line: the host's
    // acknowledgement, sent at the rate the answer came at.
    void TakeAcknowledgement(const uint8_t** data, size_t* count) {
        double nextRate = uartRate;
        if (afterAck == AfterAck::LoadDivisor) {
            nextRate = afterAckDivisor == 0 ? 0 : UART_CLOCK_HZ * clockScale / afterAckDivisor;
        } else if (afterAck == AfterAck::BootRom) {
            nextRate = BOOT_ROM_BAUD;
        }
        // On a pseudo-terminal the rate read with the byte may already be the
        // host's next one.
        const bool heard =
            HostMatches() || (config.lineRateAmbiguous && hostBaud != 0 &&
                              UartRatesMatch(nextRate, hostBaud, config.uartTolerance));
        const uint8_t b = (*data)[0];
        if (!heard || b == ACK || b == NAK) {
            if (heard && b == ACK) ++counters.hostAcks;
            if (heard && b == NAK) ++counters.hostNaks;
            ++*data;
            --*count;
        }
        RunAfterAck();
    }

    void Input(const uint8_t* data, size_t count, double nowMs, uint32_t baud) {
        inputMs = nowMs;
        hostBaud = baud;
        counters.bytesFromHost[baud] += count;
        if (afterAck != AfterAck::None && nowMs >= afterAckDeadline) {
            RunAfterAck();
        }
        if (afterAck != AfterAck::None && count > 0) TakeAcknowledgement(&data, &count);
        if (stage == ReceiverStage::Firmware || uartRate <= 0) return;
        std::vector<uint8_t> garbled;
        if (!HostMatches()) {
            garbled = UartResample(data, count, baud, uartRate);
            data = garbled.data();
            count = garbled.size();
        }
        const double now = nowMs;
        const double byteMs = config.wireTiming ? ByteMs(baud != 0 ? baud : uartRate) : 0;
        // On a timed wire a byte cannot begin before the one ahead of it has
        // ended, also when the host's bytes reach us in several pieces.
        const double start = byteMs > 0 ? std::max(now, lastRxMs) : now;
        if (!rx.empty() && count > 0 && now - lastRxMs > config.frameGapMs) {
            ++counters.partialsDropped;
            Log("  partial frame given up after a gap");
            rx.clear();
        }
        for (size_t i = 0; i < count; ++i) {
            const double at = start + static_cast<double>(i + 1) * byteMs;
            lastRxMs = at;
            const uint8_t b = data[i];
            if (rx.empty()) {
                // Between frames the host only acknowledges our answers; no
                // frame starts with these bytes (its length would be > 1285).
                if (b == ACK) {
                    ++counters.hostAcks;
                    continue;
                }
                if (b == NAK) {
                    ++counters.hostNaks;
                    continue;
                }
            }
            rx.push_back(b);
            if (rx.size() >= 2 && rx.size() == (size_t{rx[0]} << 8 | rx[1]) + 3) {
                std::vector<uint8_t> frame;
                frame.swap(rx);
                HandleFrame(frame, at);
                if (stage == ReceiverStage::Firmware) return;
            }
        }
    }

    void HandleFrame(const std::vector<uint8_t>& frame, double done) {
        const uint32_t n = ++counters.frames;
        const size_t length = frame.size() - 3;
        const uint8_t* payload = frame.data() + 2;
        const bool good = PacketChecksum(frame.data(), static_cast<uint32_t>(frame.size())) == 0;
        char line[96];
        std::snprintf(line, sizeof line, "#%u <- %zu-byte frame, code %d%s", n, length,
                      length > 0 ? payload[0] : -1, good ? "" : ", bad checksum");
        Log(line);
        if (stage == ReceiverStage::Hung) return;
        if (length > MAX_REQUEST_PAYLOAD) {
            // Does not fit the receiver's buffer: dropped unread.
            ++counters.ignored;
            return;
        }
        const auto fault = config.faults.frames.find(n);
        if (fault != config.faults.frames.end() && fault->second == FrameFault::Nak) {
            Log("  NAK (fault)");
            SendAckByte(NAK, std::max(done, cpuFreeAt) + config.ackDelayMs);
            return;
        }
        if (!good) {
            ++counters.badChecksums;
            // The boot ROM itself never sends anything.
            if (stage != ReceiverStage::BootRom) {
                SendAckByte(NAK, std::max(done, cpuFreeAt) + config.ackDelayMs);
            }
            return;
        }
        if (length > 0) counters.requestCodes.push_back(payload[0]);
        switch (stage) {
            case ReceiverStage::BootRom:
                BootRomFrame(n, payload, length, done);
                break;
            case ReceiverStage::FirstStage:
                FirstStageFrame(n, payload, length, done);
                break;
            case ReceiverStage::Agent:
                AgentFrame(n, payload, length, done);
                break;
            case ReceiverStage::Firmware:
            case ReceiverStage::Hung:
                break;
        }
    }

    // --- boot ROM and first stage -------------------------------------------

    void BootRomFrame(uint32_t n, const uint8_t* payload, size_t length, double done) {
        Reader r(payload, length);
        uint8_t c0 = 0, c1 = 0, c2 = 0;
        uint32_t imageLength = 0, tail = 1;
        const uint8_t* image = nullptr;
        if (!r.U8(&c0) || !r.U8(&c1) || !r.U8(&c2) || !r.U32(&imageLength) || c0 != LOAD_CODE_0 ||
            c1 != LOAD_CODE_1 || c2 != 0 || !r.Bytes(imageLength, &image) || !r.U32(&tail) ||
            tail != 0 || !r.AtEnd()) {
            Log("  boot ROM ignores the frame");
            return;
        }
        firstStage.assign(image, image + imageLength);
        stage = ReceiverStage::FirstStage;
        // The started first stage acknowledges and reports the checksum of
        // itself as it lies in memory.
        Respond(n, done, config.startDelayMs,
                std::vector<uint8_t>{LOAD_ANSWER, PacketChecksum(image, imageLength)});
    }

    void FirstStageFrame(uint32_t n, const uint8_t* payload, size_t length, double done) {
        Reader r(payload, length);
        uint8_t code = 0;
        r.U8(&code);
        const uint32_t ack = config.ackDelayMs;
        switch (code) {
            case 42:  // QueryChipId
                if (!r.AtEnd()) break;
                Respond(n, done, ack, std::vector<uint8_t>{43, config.chipId});
                return;
            case 44:  // QueryVariant
                if (!r.AtEnd()) break;
                Respond(n, done, ack,
                        std::vector<uint8_t>{45, BoardVariant(config.chipId, config.wordA)});
                return;
            case 46:
            case 48: {  // QueryConfigWordA / B
                if (!r.AtEnd()) break;
                const uint16_t word = code == 46 ? config.wordA : config.wordB;
                Respond(n, done, ack,
                        std::vector<uint8_t>{static_cast<uint8_t>(code + 1),
                                             static_cast<uint8_t>(word >> 8),
                                             static_cast<uint8_t>(word)});
                return;
            }
            case 38: {  // ConfigureAlternate
                uint8_t value = 0;
                if (!r.U8(&value) || !r.AtEnd()) break;
                clock.alternateValue = value;
                Respond(n, done, ack, std::vector<uint8_t>{39});
                return;
            }
            case 40: {  // ConfigureClock
                uint16_t divisor = 0;
                uint8_t count = 0;
                const uint8_t* data = nullptr;
                if (!r.U16(&divisor) || !r.U8(&count) || !r.Bytes(8, &data) || !r.AtEnd()) break;
                ++clock.configureClockCalls;
                clock.byteCount = count;
                std::copy(data, data + 8, clock.data.begin());
                clock.divisor = divisor;
                clock.hz = count <= 8 ? SynthesizerFrequency(count, data) : 0;
                // The system clock follows the synthesizer: set up for another
                // oscillator than the board's, every rate is off by their ratio.
                const uint32_t board = BoardReferenceHz(config.chipId, config.wordA, config.wordB);
                clockScale = (clock.hz != 0 && board != 0) ? double(board) / clock.hz : 1.0;
                char line[64];
                std::snprintf(line, sizeof line, "  synthesizer set for %u Hz (%u bytes)", clock.hz,
                              count);
                Log(line);
                SetDivisor(divisor);
                Respond(n, done, ack, std::vector<uint8_t>{41}, 2);
                return;
            }
            case 0: {  // SetBaud: answered at the old rate, then the divisor is loaded
                uint32_t baud = 0;
                uint16_t divisor = 0;
                if (!r.U32(&baud) || !r.U16(&divisor) || !r.AtEnd()) break;
                const bool answered = Respond(n, done, ack, std::vector<uint8_t>{1});
                AfterAcknowledgement(answered, AfterAck::LoadDivisor, divisor);
                return;
            }
            case 2: {  // WriteAgentBlock
                uint32_t offset = 0;
                if (!r.U32(&offset) || r.AtEnd()) break;
                const size_t count = length - 5;
                if (count > 1280) break;
                if (agentMemory.size() < offset + count) agentMemory.resize(offset + count, 0);
                std::copy(payload + 5, payload + length, agentMemory.begin() + offset);
                Respond(n, done, ack, std::vector<uint8_t>{3});
                return;
            }
            case 4: {  // StartAgent
                uint32_t address = 0;
                if (!r.U32(&address) || !r.AtEnd()) break;
                if (address != 0 || agentMemory.empty()) {
                    // Jumped to no program: the first stage acknowledged, then nothing.
                    Respond(n, done, ack, std::nullopt);
                    stage = ReceiverStage::Hung;
                    return;
                }
                stage = ReceiverStage::Agent;
                open = false;
                Respond(n, done, ack, std::vector<uint8_t>{5}, 1);
                return;
            }
            default:
                break;
        }
        Respond(n, done, ack, std::nullopt);
    }

    void SetDivisor(uint16_t divisor) {
        uartRate = divisor == 0 ? 0 : UART_CLOCK_HZ * clockScale / divisor;
        char line[64];
        std::snprintf(line, sizeof line, "  UART now %.1f baud", uartRate);
        Log(line);
    }

    // --- flash ---------------------------------------------------------------

    uint8_t& Cell(uint64_t address) { return flash[address % flash.size()]; }

    bool RangeOk(uint32_t address, uint32_t length) const {
        return uint64_t{address} + length <= flashSize;
    }

    uint32_t SectorCount() const { return FlashPartSectorCount(part); }

    bool SectorInfo(uint32_t index, uint64_t* start, uint64_t* size) const {
        uint64_t before = 0;
        uint32_t sectorsBefore = 0;
        for (const FlashRun& run : part.runs) {
            if (index < sectorsBefore + run.count) {
                *start = (before + uint64_t{index - sectorsBefore} * run.size) * units;
                *size = uint64_t{run.size} * units;
                return true;
            }
            sectorsBefore += run.count;
            before += uint64_t{run.count} * run.size;
        }
        return false;
    }

    // The sector holding address: its index, start and size (bus scaled).
    bool SectorAt(uint64_t address, uint32_t* index, uint64_t* start, uint64_t* size) const {
        uint64_t base = 0;
        uint32_t sectorsBefore = 0;
        for (const FlashRun& run : part.runs) {
            const uint64_t sectorBytes = uint64_t{run.size} * units;
            const uint64_t span = sectorBytes * run.count;
            if (address < base + span) {
                const uint64_t k = (address - base) / sectorBytes;
                *index = sectorsBefore + static_cast<uint32_t>(k);
                *start = base + k * sectorBytes;
                *size = sectorBytes;
                return true;
            }
            base += span;
            sectorsBefore += run.count;
        }
        return false;
    }

    // Identification codes as the agent reads them at the chip select.
    void ReadIds(uint32_t chipSelect, uint32_t baseOffset, uint16_t* device, uint16_t* maker,
                 bool* partsDiffer) const {
        *partsDiffer = false;
        if (chipSelect != config.flashChipSelect || baseOffset != 0 || physical == nullptr ||
            config.faults.noFlash) {
            *device = 0xFFFF;
            *maker = 0xFFFF;
            return;
        }
        *device = config.faults.overrideIds ? config.faults.deviceId : physical->deviceId;
        *maker = config.faults.overrideIds ? config.faults.makerId : physical->makerId;
        *partsDiffer = units == 2 && config.faults.mismatchedParts;
    }

    // The checks both opens share, in the agent's order. Fills units and the
    // codes read as far as it gets.
    uint32_t OpenChecks(uint32_t chipSelect, uint32_t baseOffset, uint32_t mask1, uint32_t mask2,
                        uint32_t* unitsOut, uint16_t* device, uint16_t* maker) {
        *unitsOut = 0;
        *device = 0;
        *maker = 0;
        if (open) return SIM_AGENT_ALREADY_OPEN;
        if (!SupportedProcessor(config.chipId)) return SIM_AGENT_UNSUPPORTED_CHIP;
        if (chipSelect > 7) return SIM_AGENT_BAD_CHIP_SELECT;
        auto option = [](uint32_t mask) {
            const uint32_t low = mask & 0xFF;
            return low == 0xFF ? 3u : low;
        };
        const uint32_t o1 = option(mask1), o2 = option(mask2);
        if (o1 > 3 || o2 > 3 || (o1 & o2) != 0) return SIM_AGENT_BAD_OPTIONS;
        const unsigned width = chipSelect == config.flashChipSelect ? config.busWidth : 16;
        if (width != 16 && width != 32) return SIM_AGENT_BAD_BUS_WIDTH;
        units = width / 16;
        *unitsOut = units;
        if (baseOffset % AGENT_FLASH_WINDOW != 0) return SIM_AGENT_BAD_RANGE;
        bool differ = false;
        ReadIds(chipSelect, baseOffset, device, maker, &differ);
        if ((*device == 0 && *maker == 0) || (*device == 0xFFFF && *maker == 0xFFFF) || differ) {
            return SIM_AGENT_NO_FLASH;
        }
        return SIM_AGENT_OK;
    }

    void Opened(const FlashPart& description) {
        open = true;
        part = description;
        flashSize = uint64_t{part.size} * units;
        programBuffer = 2 * units;
    }

    static void PutInfo(Writer& w, const FlashPart& p) {
        w.String(p.name);
        w.String(p.maker);
        w.U16(p.deviceId);
        w.U16(p.makerId);
        w.U32(p.size);
        w.U8(static_cast<uint8_t>(p.runs.size()));
        for (const FlashRun& run : p.runs) {
            w.U32(run.count);
            w.U32(run.size);
        }
        w.U8(static_cast<uint8_t>(p.commandSet));
        w.U16(p.flags);
    }

    static bool ReadInfo(Reader& r, FlashPart* p) {
        uint8_t count = 0, commandSet = 0;
        if (!r.String(&p->name) || !r.String(&p->maker) || !r.U16(&p->deviceId) ||
            !r.U16(&p->makerId) || !r.U32(&p->size) || !r.U8(&count)) {
            return false;
        }
        p->runs.resize(count);
        for (FlashRun& run : p->runs) {
            if (!r.U32(&run.count) || !r.U32(&run.size)) return false;
        }
        if (!r.U8(&commandSet) || !r.U16(&p->flags)) return false;
        p->commandSet = static_cast<char>(commandSet);
        return true;
    }

    // --- agent -------------------------------------------------------------

    void AgentFrame(uint32_t n, const uint8_t* payload, size_t length, double done) {
        Reader r(payload, length);
        uint8_t code = 0;
        r.U8(&code);
        const auto malformed = [&] {
            Log("  agent ignores the request");
            Respond(n, done, config.ackDelayMs, std::nullopt);
        };
        Writer w;
        w.U8(static_cast<uint8_t>(code + 1));
        double workMs = 0;
        switch (code) {
            case 6: {  // EPOpen
                uint32_t cs = 0, base = 0, m1 = 0, m2 = 0;
                if (!r.U32(&cs) || !r.U32(&base) || !r.U32(&m1) || !r.U32(&m2) || !r.AtEnd()) {
                    return malformed();
                }
                uint32_t busUnits = 0;
                uint16_t device = 0, maker = 0;
                uint32_t status = OpenChecks(cs, base, m1, m2, &busUnits, &device, &maker);
                const FlashPart* row = nullptr;
                if (status == SIM_AGENT_OK) {
                    row = FindFlashPartById(device, maker);
                    if (row == nullptr) status = SIM_AGENT_UNKNOWN_FLASH;
                }
                FlashPart shown;
                if (row != nullptr) {
                    Opened(*row);
                    shown = *row;
                } else if (status == SIM_AGENT_UNKNOWN_FLASH) {
                    shown.deviceId = device;
                    shown.makerId = maker;
                    shown.commandSet = 0;
                } else {
                    shown.commandSet = 0;
                }
                w.U32(status);
                w.U32(busUnits);
                w.U32(shown.flags & 1u);
                PutInfo(w, shown);
                break;
            }
            case 32: {  // EPOpenWithInfo
                uint32_t cs = 0, base = 0, m1 = 0, m2 = 0;
                FlashPart given;
                if (!r.U32(&cs) || !r.U32(&base) || !r.U32(&m1) || !r.U32(&m2) ||
                    !ReadInfo(r, &given) || !r.AtEnd()) {
                    return malformed();
                }
                uint32_t busUnits = 0;
                uint16_t device = 0, maker = 0;
                uint32_t status = OpenChecks(cs, base, m1, m2, &busUnits, &device, &maker);
                if (status == SIM_AGENT_OK &&
                    (given.deviceId != device || given.makerId != maker)) {
                    status = SIM_AGENT_ID_MISMATCH;
                }
                if (status == SIM_AGENT_OK) {
                    uint64_t sum = 0;
                    for (const FlashRun& run : given.runs) sum += uint64_t{run.count} * run.size;
                    // The agent's record has room for 63-character names and 6 runs.
                    if (sum != given.size || (given.commandSet != 'A' && given.commandSet != 'I') ||
                        given.name.size() > 63 || given.maker.size() > 63 ||
                        given.runs.size() > 6) {
                        status = SIM_AGENT_BAD_DESCRIPTION;
                    }
                }
                if (status == SIM_AGENT_OK) Opened(given);
                w.U32(status);
                w.U32(busUnits);
                w.U32(status == SIM_AGENT_OK ? given.flags & 1u : 0u);
                break;
            }
            case 8:     // EPWrite
            case 22: {  // CheckProgrammable
                uint32_t address = 0, count = 0;
                const uint8_t* data = nullptr;
                if (!r.U32(&address) || !r.U32(&count) || !r.Bytes(count, &data) || !r.AtEnd()) {
                    return malformed();
                }
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (!RangeOk(address, count)) {
                    status = SIM_AGENT_BAD_RANGE;
                } else if (code == 8) {
                    status = Program(address, data, count);
                } else {
                    for (uint32_t i = 0; i < count; ++i) {
                        if ((data[i] & ~Cell(uint64_t{address} + i) & 0xFF) != 0) {
                            status = SIM_AGENT_NOT_PROGRAMMABLE;
                            break;
                        }
                    }
                }
                w.U32(status);
                if (code == 8 && ++counters.writes == config.faults.powerLossAfterWrite) {
                    Log("  power lost");
                    Respond(n, done, config.ackDelayMs, std::nullopt);
                    ++counters.powerLosses;
                    Reset(ReceiverStage::BootRom);
                    return;
                }
                break;
            }
            case 10: {  // EPRead
                uint32_t address = 0, count = 0;
                if (!r.U32(&address) || !r.U32(&count) || !r.AtEnd() ||
                    count > MAX_ANSWER_PAYLOAD - ANSWER_FIXED_BYTES) {
                    return malformed();
                }
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (!RangeOk(address, count)) {
                    status = SIM_AGENT_BAD_RANGE;
                }
                w.U32(status);
                for (uint32_t i = 0; i < count; ++i) {
                    w.U8(status == SIM_AGENT_OK ? Cell(uint64_t{address} + i) : 0);
                }
                break;
            }
            case 12: {  // EraseSectorSet
                uint32_t start = 0, size = 0;
                if (!r.U32(&start) || !r.U32(&size) || !r.AtEnd()) return malformed();
                uint32_t status = SIM_AGENT_OK;
                uint32_t index = 0;
                uint64_t sectorStart = 0, sectorSize = 0;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (start >= flashSize ||
                           !SectorAt(start, &index, &sectorStart, &sectorSize) ||
                           sectorStart != start) {
                    status = SIM_AGENT_BAD_RANGE;
                } else if (sectorSize != size) {
                    status = SIM_AGENT_BAD_SECTOR_SIZE;
                } else {
                    workMs = config.eraseDelayMs;
                    if (int64_t{index} == config.faults.eraseFailSector) {
                        Log("  erase times out (fault)");
                        status = SIM_AGENT_ERASE_FAILED;
                    } else {
                        for (uint64_t a = start; a < uint64_t{start} + size; ++a) Cell(a) = 0xFF;
                        for (uint64_t a = start; a < uint64_t{start} + size; ++a) {
                            if (Cell(a) != 0xFF) status = SIM_AGENT_ERASE_FAILED;
                        }
                    }
                }
                w.U32(status);
                break;
            }
            case 14:  // EPClose
                if (!r.AtEnd()) return malformed();
                open = false;
                w.U32(SIM_AGENT_OK);
                break;
            case 16:    // GetFlashSize
            case 18: {  // GetSectorCount
                if (!r.AtEnd()) return malformed();
                w.U32(open ? SIM_AGENT_OK : SIM_AGENT_NOT_OPEN);
                if (!open) {
                    w.U32(0);
                } else {
                    w.U32(code == 16 ? static_cast<uint32_t>(flashSize) : SectorCount());
                }
                break;
            }
            case 20: {  // SectorSetInfo
                uint32_t index = 0;
                if (!r.U32(&index) || !r.AtEnd()) return malformed();
                uint64_t start = 0, size = 0;
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (!SectorInfo(index, &start, &size)) {
                    status = SIM_AGENT_BAD_SECTOR_INDEX;
                }
                w.U32(status);
                w.U32(static_cast<uint32_t>(start));
                w.U32(static_cast<uint32_t>(size));
                break;
            }
            case 24: {  // CheckBlank
                uint32_t address = 0, count = 0;
                if (!r.U32(&address) || !r.U32(&count) || !r.AtEnd()) return malformed();
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (!RangeOk(address, count)) {
                    status = SIM_AGENT_BAD_RANGE;
                } else {
                    for (uint32_t i = 0; i < count; ++i) {
                        if (Cell(uint64_t{address} + i) != 0xFF) {
                            status = SIM_AGENT_NOT_BLANK;
                            break;
                        }
                    }
                }
                w.U32(status);
                break;
            }
            case 26: {  // SetProgramBufferSize
                uint32_t size = 0;
                if (!r.U32(&size) || !r.AtEnd()) return malformed();
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (units == 1 ? (size < 2 || size > 32 || size % 2 != 0)
                                      : (size < 4 || size > 64 || size % 4 != 0)) {
                    status = SIM_AGENT_BAD_BUFFER_SIZE;
                } else {
                    programBuffer = size;
                }
                w.U32(status);
                break;
            }
            case 28:  // GetAgentVersion
                if (!r.AtEnd()) return malformed();
                w.U32(SIM_AGENT_OK);
                w.String(AGENT_VERSION_TEXT);
                break;
            case 30: {  // CalculateFlashCRC16
                uint32_t address = 0, count = 0;
                uint16_t crc = 0;
                if (!r.U32(&address) || !r.U32(&count) || !r.U16(&crc) || !r.AtEnd()) {
                    return malformed();
                }
                uint32_t status = SIM_AGENT_OK;
                if (!open) {
                    status = SIM_AGENT_NOT_OPEN;
                } else if (!RangeOk(address, count)) {
                    status = SIM_AGENT_BAD_RANGE;
                } else {
                    for (uint32_t i = 0; i < count; ++i) {
                        const uint8_t byte = Cell(uint64_t{address} + i);
                        crc = SimCrc16(&byte, 1, crc);
                    }
                    if (config.faults.crcOffByOne) crc = static_cast<uint16_t>(crc + 1);
                }
                w.U32(status);
                w.U16(crc);
                break;
            }
            case CODE_DISCONNECT: {
                if (!r.AtEnd()) return malformed();
                const bool answered = Respond(n, done, config.ackDelayMs, std::move(w.Result()));
                Disconnected(answered);
                return;
            }
            default:
                return malformed();
        }
        Respond(n, done, config.ackDelayMs, std::move(w.Result()), workMs);
    }

    // Programs in pieces of the program buffer, each verified before the next.
    uint32_t Program(uint32_t address, const uint8_t* data, uint32_t count) {
        for (uint32_t offset = 0; offset < count; offset += programBuffer) {
            const uint32_t piece = std::min(programBuffer, count - offset);
            for (uint32_t i = offset; i < offset + piece; ++i) {
                const uint64_t a = uint64_t{address} + i;
                if (static_cast<int64_t>(a) == config.faults.writeFailAddress) {
                    Log("  program times out (fault)");
                    return SIM_AGENT_WRITE_FAILED;
                }
                // NOR cells only go from 1 to 0.
                Cell(a) &= data[i];
            }
            for (uint32_t i = offset; i < offset + piece; ++i) {
                if (Cell(uint64_t{address} + i) != data[i]) return SIM_AGENT_WRITE_FAILED;
            }
        }
        return SIM_AGENT_OK;
    }

    void Disconnected(bool answered) {
        ++counters.disconnects;
        if (!config.flashDumpPath.empty()) {
            std::string error;
            if (!WriteFile(config.flashDumpPath, &error)) Log("  " + error);
        }
        if (config.bootRomAfterDisconnect) AfterAcknowledgement(answered, AfterAck::BootRom);
    }

    bool WriteFile(const std::string& path, std::string* error) const {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(flash.data()),
                   static_cast<std::streamsize>(flash.size()));
        file.close();
        if (!file) {
            if (error) *error = "cannot write the flash to " + path;
            return false;
        }
        return true;
    }

    void Reset(ReceiverStage to) {
        stage = to;
        afterAck = AfterAck::None;
        uartRate = BOOT_ROM_BAUD;
        clockScale = 1.0;
        rx.clear();
        open = false;
    }
};

Receiver::Receiver(ReceiverConfig config) : s_(std::make_unique<State>()) {
    State& s = *s_;
    s.config = std::move(config);
    s.physical = FindFlashPart(s.config.part);
    if (s.physical == nullptr) {
        s.ok = false;
        s.configError = "unknown flash part \"" + s.config.part + "\"";
        return;
    }
    const uint64_t size = uint64_t{s.physical->size} * (s.config.busWidth == 32 ? 2 : 1);
    const uint8_t fill = s.config.flashInit == FlashInit::Fill ? s.config.flashFill : 0xFF;
    s.flash.assign(size, fill);
    if (s.config.flashInit == FlashInit::File) {
        std::ifstream file(s.config.flashFile, std::ios::binary);
        if (!file) {
            s.ok = false;
            s.configError = "cannot read the flash file " + s.config.flashFile;
            return;
        }
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        if (bytes.size() > s.flash.size()) {
            s.ok = false;
            s.configError = "the flash file " + s.config.flashFile + " is larger than the flash (" +
                            std::to_string(s.flash.size()) + " bytes)";
            return;
        }
        std::copy(bytes.begin(), bytes.end(), s.flash.begin());
    }
}

Receiver::~Receiver() = default;

bool Receiver::Ok() const {
    return s_->ok;
}
const std::string& Receiver::Error() const {
    return s_->configError;
}

void Receiver::Input(const uint8_t* data, size_t count, uint64_t nowMs, uint32_t hostBaud) {
    s_->Input(data, count, static_cast<double>(nowMs), hostBaud);
}

void Receiver::InputAt(const uint8_t* data, size_t count, double nowMs, uint32_t hostBaud) {
    s_->Input(data, count, nowMs, hostBaud);
}

void Receiver::SetOutput(Output out) {
    s_->out = std::move(out);
}

void Receiver::SetOutputAt(OutputAt out) {
    s_->outAt = std::move(out);
}
void Receiver::SetLog(std::function<void(const std::string&)> log) {
    s_->log = std::move(log);
}
void Receiver::EnterBootRom() {
    s_->Reset(ReceiverStage::BootRom);
}
void Receiver::RunFirmware() {
    s_->Reset(ReceiverStage::Firmware);
}
ReceiverStage Receiver::Stage() const {
    return s_->stage;
}
uint32_t Receiver::UartBaud() const {
    return static_cast<uint32_t>(std::lround(s_->uartRate));
}
double Receiver::UartRate() const {
    return s_->uartRate;
}
const std::vector<uint8_t>& Receiver::Flash() const {
    return s_->flash;
}
std::vector<uint8_t>& Receiver::MutableFlash() {
    return s_->flash;
}

bool Receiver::WriteFlashFile(const std::string& path, std::string* error) const {
    return s_->WriteFile(path, error);
}

const ReceiverConfig& Receiver::Config() const {
    return s_->config;
}
ReceiverFaults& Receiver::Faults() {
    return s_->config.faults;
}
const ReceiverCounters& Receiver::Counters() const {
    return s_->counters;
}
const ClockRecord& Receiver::Clock() const {
    return s_->clock;
}
const std::vector<uint8_t>& Receiver::FirstStageImage() const {
    return s_->firstStage;
}
const std::vector<uint8_t>& Receiver::AgentMemory() const {
    return s_->agentMemory;
}
bool Receiver::AgentOpen() const {
    return s_->open;
}
uint32_t Receiver::ProgramBufferSize() const {
    return s_->programBuffer;
}
