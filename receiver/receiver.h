// SPDX-License-Identifier: Apache-2.0
// A simulated GPS receiver as the host meets it on the serial line: the boot
// ROM that takes the first stage at 38400 baud, the first stage (chip id,
// clock set-up, baud switch, agent download) and the flash agent with its
// NOR flash. It speaks only bytes: whatever the host writes goes in through
// Input, whatever the receiver sends comes out through the output function.
//
// Frames are counted from 1 over the receiver's whole life: every complete
// frame the receiver takes off the line (good checksum or bad, in any stage)
// gets the next number, and the per-frame faults below are keyed by it. The
// "answer to frame N" is whatever the receiver sends back for that frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "receiver/flash/flash_parts.h"

enum class ReceiverStage {
    BootRom,     // waits for the first stage at 38400 baud
    FirstStage,  // serves the boot-stage requests
    Agent,       // serves the flash agent commands and the disconnect
    Firmware,    // runs its own firmware: no boot protocol (NMEA sentences when it talks)
    Hung,        // jumped somewhere without a program: silent until reset
    Held,        // its reset input is active: deaf and silent until released
};

// Faults tied to one frame number.
enum class FrameFault {
    Nak,             // the frame is answered NAK whatever its checksum, and not served
    CorruptAnswer,   // one byte of the answer is changed after framing
    DropAnswer,      // ACK, then no answer
    WrongCode,       // the answer's code is the request code + 3
    TrailingByte,    // the answer carries one byte 0x00 more
    Stall,           // the answer leaves stallMs late
    OversizeAnswer,  // the answer is padded to a 1288-byte payload
};

struct ReceiverFaults {
    std::map<uint32_t, FrameFault> frames;  // frame number (from 1) -> fault
    uint32_t stallMs = 3000;                // longer than the host's 2008 ms wait
    int64_t eraseFailSector = -1;           // erasing this sector index times out
    int64_t writeFailAddress = -1;          // programming this byte address times out
    bool crcOffByOne = false;               // CalculateFlashCRC16 answers CRC + 1
    uint32_t powerLossAfterWrite = 0;       // the Nth EPWrite request (from 1) is programmed,
                                            // then power fails: no answer, back to the boot ROM
    uint32_t powerLossDuringErase = 0;      // power fails during the Nth sector erase (from 1):
                                            // the sector is left half erased, no answer, boot ROM
    // Identification codes the flash answers instead of its own.
    bool overrideIds = false;
    uint16_t deviceId = 0;
    uint16_t makerId = 0;
    bool noFlash = false;          // nothing on the bus: codes read 0xFFFF / 0xFFFF
    bool mismatchedParts = false;  // 32-bit bus: the second part answers other codes
    // The EPOpen answer claims a part of this many bytes (0: the part's own);
    // the flash and the agent's own checks keep the real size.
    uint32_t claimedFlashSize = 0;
};

enum class FlashInit { Erased, Fill, File };

struct ReceiverConfig {
    std::string part = "AM29LV400BB";
    unsigned busWidth = 16;   // 16 or 32; anything else is a bus the agent refuses
    uint8_t chipId = 48;      // QueryChipId; also the processor the agent checks
    uint16_t wordA = 0x0000;  // QueryConfigWordA: bits 12-13 select, bit 6 the variant
    uint16_t wordB = 0x0000;  // QueryConfigWordB: bits 0-4 the oscillator code
    uint32_t flashChipSelect = 0;

    FlashInit flashInit = FlashInit::Erased;
    uint8_t flashFill = 0xFF;
    std::string flashFile;      // initial contents; a shorter file leaves the rest erased
    std::string flashDumpPath;  // flash written here at every disconnect (empty: never)

    // Each byte takes 10 bit times at the line rate, so the host's virtual
    // (or real) clock runs as on the wire.
    bool wireTiming = false;
    uint32_t ackDelayMs = 0;     // frame received -> ACK
    uint32_t answerDelayMs = 1;  // ACK -> answer
    uint32_t startDelayMs = 5;   // first stage loaded and started -> its ACK
    uint32_t eraseDelayMs = 5;   // per sector erased
    uint32_t frameGapMs = 500;   // a frame whose bytes pause this long is given up
    // On a pseudo-terminal: the receiver's bytes reach the host through a USB
    // serial adapter whose latency timer fires every this many milliseconds
    // (0: straight through). Bytes short of a full packet wait for the timer.
    uint32_t adapterLatencyMs = 0;
    double uartTolerance = 0.03;         // rate mismatch the UARTs ride out
    bool bootRomAfterDisconnect = true;  // the board resets it for the next session
    // The line cannot tell at which rate a byte was sent (a pseudo-terminal
    // only knows the host's rate when the byte is read): the acknowledgement
    // before a rate change is then taken at either rate.
    bool lineRateAmbiguous = false;

    // Powers up running its firmware instead of waiting in the boot ROM, and
    // that firmware talks: a $GPGGA and a $GPRMC sentence every nmeaPeriodMs
    // at nmeaBaud, 8-N-1, whatever the host sends. Without it the firmware
    // (reached by clearing the update pin) stays silent, as before.
    bool runningFirmware = false;
    uint32_t nmeaBaud = 9600;
    uint32_t nmeaPeriodMs = 1000;

    // Noise on the line: every bit on the wire (start, data and stop bits of
    // every byte, acknowledgements included, both directions) is flipped with
    // this probability. The same seed and the same traffic flip the same bits.
    double bitErrorRate = 0;
    uint64_t noiseSeed = 1;

    ReceiverFaults faults;
};

struct ReceiverCounters {
    uint32_t frames = 0;  // complete frames taken off the line
    uint32_t badChecksums = 0;
    uint32_t acksSent = 0;
    uint32_t naksSent = 0;
    uint32_t answersSent = 0;
    uint32_t ignored = 0;   // good frames served with no answer (unknown, malformed)
    uint32_t hostAcks = 0;  // acknowledgements the host gave our answers
    uint32_t hostNaks = 0;
    uint32_t partialsDropped = 0;  // frames given up after a gap
    uint32_t writes = 0;           // EPWrite requests
    uint32_t disconnects = 0;
    uint32_t powerLosses = 0;
    uint32_t firmwareStarts = 0;  // resets (or power-up) into the firmware
    uint32_t nmeaSentences = 0;
    // Bits the line noise flipped, by direction.
    uint64_t noiseFlipsFromHost = 0;
    uint64_t noiseFlipsToHost = 0;
    // Bytes that crossed the line, by the host's rate at the time.
    std::map<uint32_t, uint64_t> bytesFromHost;
    std::map<uint32_t, uint64_t> bytesToHost;
    // Code byte of every good frame, in order.
    std::vector<uint8_t> requestCodes;
};

// What the first stage made of the clock set-up.
struct ClockRecord {
    int configureClockCalls = 0;
    uint32_t hz = 0;        // frequency whose synthesizer row it got (0: none matched)
    uint8_t byteCount = 0;  // 7: fractional form, 8: integer form
    std::array<uint8_t, 8> data{};
    uint16_t divisor = 0;
    int alternateValue = -1;  // ConfigureAlternate's byte, -1 when never sent
};

struct ReceiverState;

class Receiver {
  public:
    using Output = std::function<void(const uint8_t* data, size_t count, uint64_t delayMs)>;

    explicit Receiver(ReceiverConfig config);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // False (with a message) when the configuration names an unknown part or
    // an unreadable flash file; such a receiver's bus then holds no flash.
    bool Ok() const;
    const std::string& Error() const;

    // Bytes from the host arriving at nowMs on a line where the host runs at
    // hostBaud (0: unknown, taken as matching).
    void Input(const uint8_t* data, size_t count, uint64_t nowMs, uint32_t hostBaud);
    // The same at a time finer than a millisecond (a real clock).
    void InputAt(const uint8_t* data, size_t count, double nowMs, uint32_t hostBaud);
    // Where the receiver's bytes go; delayMs is when they leave, relative to
    // the input that caused them.
    void SetOutput(Output out);
    // Instead of SetOutput: the delay unrounded, so that a real-time line
    // does not add up to a millisecond per answer.
    using OutputAt = std::function<void(const uint8_t* data, size_t count, double delayMs)>;
    void SetOutputAt(OutputAt out);
    // Optional trace of frames and answers, one line each.
    void SetLog(std::function<void(const std::string&)> log);

    void EnterBootRom();  // update pin set / power-on: boot ROM at 38400, flash kept
    void RunFirmware();   // update pin cleared: its own firmware, no protocol

    // Time passes with no bytes from the host: the receiver's clock moves to
    // nowMs, and what a talking firmware sends before untilMs goes out (with
    // its delay relative to nowMs). Resets and inputs below take effect at
    // the latest time the receiver was given.
    void Advance(double nowMs, double untilMs);
    // The processor's reset input (held in reset while active) and its
    // boot-select input, sampled as reset is released: active, the boot ROM;
    // inactive, the firmware in the flash.
    void SetResetInput(bool active);
    void SetBootSelectInput(bool active);
    bool ResetInput() const;
    bool BootSelectInput() const;

    ReceiverStage Stage() const;
    uint32_t UartBaud() const;  // rounded
    double UartRate() const;    // exact: 49107000 / divisor once set
    const std::vector<uint8_t>& Flash() const;
    std::vector<uint8_t>& MutableFlash();
    bool WriteFlashFile(const std::string& path, std::string* error) const;

    const ReceiverConfig& Config() const;
    ReceiverFaults& Faults();
    const ReceiverCounters& Counters() const;
    const ClockRecord& Clock() const;
    const std::vector<uint8_t>& FirstStageImage() const;  // as the boot ROM loaded it
    const std::vector<uint8_t>& AgentMemory() const;      // as WriteAgentBlock left it
    bool AgentOpen() const;
    uint32_t ProgramBufferSize() const;

  private:
    std::unique_ptr<ReceiverState> s_;
};

// Status words of the flash agent.
enum AgentStatusWord : uint32_t {
    SIM_AGENT_OK = 0,
    SIM_AGENT_ALREADY_OPEN = 1,
    SIM_AGENT_BAD_CHIP_SELECT = 2,
    SIM_AGENT_ERASE_FAILED = 3,
    SIM_AGENT_WRITE_FAILED = 4,
    SIM_AGENT_NO_FLASH = 5,
    SIM_AGENT_NOT_OPEN = 6,
    SIM_AGENT_UNKNOWN_FLASH = 7,
    SIM_AGENT_BAD_RANGE = 8,
    SIM_AGENT_BAD_SECTOR_SIZE = 9,
    SIM_AGENT_BAD_BUS_WIDTH = 10,
    SIM_AGENT_NOT_PROGRAMMABLE = 11,
    SIM_AGENT_NOT_BLANK = 12,
    SIM_AGENT_BAD_SECTOR_INDEX = 13,
    SIM_AGENT_BAD_BUFFER_SIZE = 14,
    SIM_AGENT_BAD_OPTIONS = 15,
    SIM_AGENT_UNSUPPORTED_CHIP = 16,
    SIM_AGENT_BAD_DESCRIPTION = 18,
    SIM_AGENT_ID_MISMATCH = 19,
};

// The agent's CRC-16 (reflected polynomial 0xA001, no final XOR).
uint16_t SimCrc16(const uint8_t* data, size_t count, uint16_t crc);

const char* FrameFaultName(FrameFault fault);
