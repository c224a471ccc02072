// The fault matrix: a whole successful update is recorded exchange by
// exchange, then the whole update is run again once for every exchange and
// every way that exchange can go wrong, on the receiver's side or on the
// host's own line. Each run must end with the message of the step that owns
// the faulted exchange and that step's exit code, within bounded virtual
// time, and never with "Download Finish" unless the step's result is not
// examined at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "tests/update/update_fixture.h"
#include "update/update.h"

namespace {

constexpr const char* OPEN_FAILED = "Please close the GPS application !";
constexpr const char* FINISHED = "Download Finish";

// Where a fault is put: at the receiver (per frame) or on the host's side of
// the line, at one of the five calls that carry an exchange.
enum class Kind {
    Nak,
    CorruptAnswer,
    DropAnswer,
    WrongCode,
    TrailingByte,
    Stall,
    OversizeAnswer,
    ShortFrameWrite,  // the request frame is written one byte short
    ShortAckRead,     // the read of the receiver's ACK returns nothing
    ShortHeaderRead,  // the answer's length field comes back one byte short
    ShortBodyRead,    // the answer's payload and checksum come back one byte short
    ShortAckWrite,    // the host's ACK of the answer is not written
};

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Nak: return "Nak";
        case Kind::CorruptAnswer: return "CorruptAnswer";
        case Kind::DropAnswer: return "DropAnswer";
        case Kind::WrongCode: return "WrongCode";
        case Kind::TrailingByte: return "TrailingByte";
        case Kind::Stall: return "Stall";
        case Kind::OversizeAnswer: return "OversizeAnswer";
        case Kind::ShortFrameWrite: return "ShortFrameWrite";
        case Kind::ShortAckRead: return "ShortAckRead";
        case Kind::ShortHeaderRead: return "ShortHeaderRead";
        case Kind::ShortBodyRead: return "ShortBodyRead";
        case Kind::ShortAckWrite: return "ShortAckWrite";
    }
    return "?";
}

bool ReceiverFault(Kind kind, FrameFault* fault) {
    switch (kind) {
        case Kind::Nak: *fault = FrameFault::Nak; return true;
        case Kind::CorruptAnswer: *fault = FrameFault::CorruptAnswer; return true;
        case Kind::DropAnswer: *fault = FrameFault::DropAnswer; return true;
        case Kind::WrongCode: *fault = FrameFault::WrongCode; return true;
        case Kind::TrailingByte: *fault = FrameFault::TrailingByte; return true;
        case Kind::Stall: *fault = FrameFault::Stall; return true;
        case Kind::OversizeAnswer: *fault = FrameFault::OversizeAnswer; return true;
        default: return false;
    }
}

// The message of the step that owns a request code.
const char* StepMessage(uint8_t code) {
    switch (code) {
        case 0x24:  // LoadFirstStage
        case 42:    // QueryChipId
        case 44:    // QueryVariant
        case 46:    // QueryConfigWordA
        case 48:    // QueryConfigWordB
        case 38:    // ConfigureAlternate
        case 40:    // ConfigureClock
        case 0:     // SetBaud
        case 2:     // WriteAgentBlock
        case 4:     // StartAgent
            return OPEN_FAILED;
        case 6:   // EPOpen
        case 26:  // SetProgramBufferSize, inside EPOpen
            return "EPOpen Fail!";
        case 24: return "CheckBlank Fail!";
        case 20: return "SectorSetInfo Fail!";
        case 12: return "EraseSectorSet Fail!";
        case 8: return "EPWrite Fail";
        case 30: return "CalculateFlashCRC16 Fail!";
        case 14:  // EPClose and Disconnect: their results are not examined
        case 34:
            return FINISHED;
        default: return nullptr;
    }
}

// What the run must end with when this exchange goes wrong this way.
const char* ExpectedMessage(Kind kind, uint8_t code) {
    // Of the answers to WriteAgentBlock and StartAgent only the code is
    // examined: a byte after it is carried along and the update goes on.
    if (kind == Kind::TrailingByte && (code == 2 || code == 4)) return FINISHED;
    return StepMessage(code);
}

// The longest one exchange can keep the host waiting: the ACK read, the
// length read and the largest body read, each running to its whole time-out.
constexpr uint64_t ReadTimeOut(uint32_t length) {
    return SERIAL_READ_CONSTANT_MS + uint64_t{SERIAL_READ_MULTIPLIER_MS} * length;
}
constexpr uint64_t EXCHANGE_WAIT_MS =
    ReadTimeOut(1) + ReadTimeOut(2) + ReadTimeOut(PACKET_MAX_RESPONSE + 1);

// One exchange of the recorded run.
struct Exchange {
    uint8_t code = 0;
    int writeCall = 0;    // the host's write that carried the frame
    int readsBefore = 0;  // host reads made before it
    uint64_t startMs = 0;
};

struct Recording {
    std::vector<Exchange> exchanges;
    uint64_t endMs = 0;
    std::vector<uint32_t> eraseStarts;  // sector index of every EraseSectorSet, in order
    uint32_t writeRequests = 0;
};

HandheldSimConfig OldFirmware(uint8_t chipId) {
    HandheldSimConfig config;
    config.receiver.chipId = chipId;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;  // nothing blank: the erase phase runs
    return config;
}

class FaultMatrix : public UpdateRun {
protected:
    // A fresh program run on a fresh handheld, as SetUp gave the first one.
    void Fresh() {
        UpdateRun::TearDown();
        messages.clear();
        progress.clear();
        started = false;
        UpdateRun::SetUp();
    }

    void Record(const HandheldSimConfig& config, Recording* out) {
        Fresh();
        Start(config);
        Receiver* receiver = HandheldSimReceiver();
        ASSERT_NE(receiver, nullptr);
        std::vector<Exchange>& exchanges = out->exchanges;
        // The receiver logs each frame as it completes, inside the host's
        // write of its last byte.
        receiver->SetLog([&exchanges](const std::string& line) {
            if (line.empty() || line[0] != '#') return;
            Exchange e;
            e.writeCall = FakeLineWriteCalls();
            e.readsBefore = FakeLineReadCalls();
            e.startMs = FakeClockNow();
            exchanges.push_back(e);
        });
        const uint32_t exitCode = Run();
        receiver->SetLog(nullptr);
        ASSERT_EQ(exitCode, 0u);
        ASSERT_EQ(messages.size(), 1u);
        ASSERT_EQ(messages[0].text, FINISHED);
        const std::vector<uint8_t>& codes = receiver->Counters().requestCodes;
        ASSERT_EQ(codes.size(), exchanges.size());
        ASSERT_EQ(receiver->Counters().frames, exchanges.size());
        for (size_t i = 0; i < exchanges.size(); ++i) {
            exchanges[i].code = codes[i];
            // Each exchange is one frame write, the ACK read, the two reads
            // of the answer and the ACK write, nothing else.
            ASSERT_EQ(exchanges[i].writeCall, static_cast<int>(2 * i + 1)) << "exchange " << i;
            ASSERT_EQ(exchanges[i].readsBefore, static_cast<int>(3 * i)) << "exchange " << i;
            if (codes[i] == 12) out->eraseStarts.push_back(static_cast<uint32_t>(out->eraseStarts.size()));
        }
        ASSERT_EQ(FakeLineWriteCalls(), static_cast<int>(2 * exchanges.size()));
        ASSERT_EQ(FakeLineReadCalls(), static_cast<int>(3 * exchanges.size()));
        out->writeRequests = receiver->Counters().writes;
        out->endMs = FakeClockNow();
    }

    // Runs the whole update with one fault; returns what went wrong, or an
    // empty text.
    std::string RunWithFault(const HandheldSimConfig& base, const Recording& recording, size_t index,
                             Kind kind) {
        const Exchange& e = recording.exchanges[index];
        const uint32_t frame = static_cast<uint32_t>(index + 1);
        Fresh();
        HandheldSimConfig config = base;
        FrameFault fault;
        if (ReceiverFault(kind, &fault)) config.receiver.faults.frames[frame] = fault;
        Start(config);
        switch (kind) {
            case Kind::ShortFrameWrite: FakeLineShortWriteAt(e.writeCall); break;
            case Kind::ShortAckRead: FakeLineShortReadAt(e.readsBefore + 1); break;
            case Kind::ShortHeaderRead: FakeLineShortReadAt(e.readsBefore + 2); break;
            case Kind::ShortBodyRead: FakeLineShortReadAt(e.readsBefore + 3); break;
            case Kind::ShortAckWrite: FakeLineShortWriteAt(e.writeCall + 1); break;
            default: break;
        }
        const uint32_t exitCode = Run();

        char where[96];
        std::snprintf(where, sizeof where, "%s at exchange %zu (code %u): ", KindName(kind), index,
                      e.code);
        const char* expected = ExpectedMessage(kind, e.code);
        if (expected == nullptr) return where + std::string("no step owns this code");
        const bool finishes = std::string(expected) == FINISHED;
        std::string problems;
        auto problem = [&problems](const std::string& text) { problems += " " + text + ";"; };
        if (messages.size() != 1) problem(std::to_string(messages.size()) + " messages");
        for (const ShownMessage& m : messages) {
            if (m.text != expected) problem("shown \"" + m.text + "\"");
            if (m.caption != (finishes ? "Done" : "Fail")) problem("caption \"" + m.caption + "\"");
        }
        if (exitCode != (finishes ? 0u : 1u)) problem("exit code " + std::to_string(exitCode));

        const Receiver* receiver = HandheldSimReceiver();
        if (finishes) {
            const std::vector<uint8_t> flash = HandheldSimFlash();
            if (flash.size() < Image().size() ||
                !std::equal(Image().begin(), Image().end(), flash.begin())) {
                problem("flash does not hold the image");
            }
            // EPClose and Disconnect may each wait out one exchange.
            if (FakeClockNow() > recording.endMs + 2 * EXCHANGE_WAIT_MS) {
                problem("virtual time " + std::to_string(FakeClockNow()) + " ms");
            }
        } else {
            // The failing exchange is the last: nothing is retried, nothing
            // follows. A frame written short never reaches the receiver whole.
            const uint32_t frames = kind == Kind::ShortFrameWrite ? frame - 1 : frame;
            if (receiver->Counters().frames != frames) {
                problem("receiver took " + std::to_string(receiver->Counters().frames) +
                        " frames, expected " + std::to_string(frames));
            }
            if (FakeClockNow() > e.startMs + EXCHANGE_WAIT_MS) {
                problem("virtual time " + std::to_string(FakeClockNow()) + " ms, exchange began at " +
                        std::to_string(e.startMs));
            }
            if (UpdateFlashBusy()) problem("still flagged busy");
        }
        return problems.empty() ? std::string() : where + problems;
    }

    // Runs one fault kind over every exchange from first up to (not
    // including) end, and reports the runs that went wrong together.
    void Sweep(const HandheldSimConfig& config, Kind kind, size_t first, size_t end,
               const Recording& recording, int* runs) {
        std::vector<std::string> failures;
        for (size_t i = first; i < end; ++i) {
            std::string failure = RunWithFault(config, recording, i, kind);
            ++*runs;
            if (!failure.empty()) failures.push_back(std::move(failure));
        }
        for (size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
        EXPECT_TRUE(failures.empty()) << failures.size() << " of " << end - first << " runs failed";
    }
};

class ExchangeFaults : public FaultMatrix, public ::testing::WithParamInterface<Kind> {};

// Every exchange of a whole update with a chip whose clock is set up through
// the queries (the default receiver).
TEST_P(ExchangeFaults, EveryExchangeEndsWithItsStepsMessage) {
    const HandheldSimConfig config = OldFirmware(48);
    Recording recording;
    Record(config, &recording);
    if (HasFatalFailure()) return;
    int runs = 0;
    Sweep(config, GetParam(), 0, recording.exchanges.size(), recording, &runs);
    std::printf("[ matrix   ] %s: %d runs over %zu exchanges\n", KindName(GetParam()), runs,
                recording.exchanges.size());
}

// The first stage of chip 35 takes one ConfigureAlternate instead of the
// clock queries; its boot stage gets the same treatment.
TEST_P(ExchangeFaults, EveryBootStageExchangeOfChip35EndsWithItsStepsMessage) {
    const HandheldSimConfig config = OldFirmware(35);
    Recording recording;
    Record(config, &recording);
    if (HasFatalFailure()) return;
    const auto agentStart = std::find_if(recording.exchanges.begin(), recording.exchanges.end(),
                                         [](const Exchange& e) { return e.code == 4; });
    ASSERT_NE(agentStart, recording.exchanges.end());
    const size_t end = static_cast<size_t>(agentStart - recording.exchanges.begin()) + 1;
    ASSERT_TRUE(std::any_of(recording.exchanges.begin(), recording.exchanges.begin() + end,
                            [](const Exchange& e) { return e.code == 38; }));
    int runs = 0;
    Sweep(config, GetParam(), 0, end, recording, &runs);
    std::printf("[ matrix   ] %s, chip 35: %d runs\n", KindName(GetParam()), runs);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, ExchangeFaults,
    ::testing::Values(Kind::Nak, Kind::CorruptAnswer, Kind::DropAnswer, Kind::WrongCode,
                      Kind::TrailingByte, Kind::Stall, Kind::OversizeAnswer, Kind::ShortFrameWrite,
                      Kind::ShortAckRead, Kind::ShortHeaderRead, Kind::ShortBodyRead,
                      Kind::ShortAckWrite),
    [](const ::testing::TestParamInfo<Kind>& p) { return KindName(p.param); });


// The agent's own refusals: an erase that does not complete, for every sector
// the update erases; a program that does not verify, at the start of every
// chunk the update writes; and a flash CRC that does not match.
class AgentFaults : public FaultMatrix {
protected:
    void SetUp() override {
        FaultMatrix::SetUp();
        Record(OldFirmware(48), &recording_);
    }

    // Runs the update with the agent's faults set by arrange; checks the
    // outcome is message with exit code 1, and returns the receiver.
    const Receiver* RunFailing(void (*arrange)(ReceiverFaults&, uint32_t), uint32_t value,
                               const char* message) {
        Fresh();
        HandheldSimConfig config = OldFirmware(48);
        arrange(config.receiver.faults, value);
        Start(config);
        EXPECT_EQ(Run(), 1u);
        EXPECT_EQ(messages.size(), 1u);
        for (const ShownMessage& m : messages) {
            EXPECT_EQ(m.text, message);
            EXPECT_EQ(m.caption, "Fail");
        }
        EXPECT_LE(FakeClockNow(), recording_.endMs);
        EXPECT_FALSE(UpdateFlashBusy());
        return HandheldSimReceiver();
    }

    bool FlashHoldsImageUpTo(size_t end) const {
        const std::vector<uint8_t> flash = HandheldSimFlash();
        return flash.size() >= end && std::equal(Image().begin(),
                                                 Image().begin() + static_cast<long>(end),
                                                 flash.begin());
    }

    Recording recording_;
};

TEST_F(AgentFaults, EveryFailedEraseEndsWithEraseSectorSetFail) {
    ASSERT_FALSE(HasFatalFailure());
    const size_t sectors = recording_.eraseStarts.size();
    ASSERT_EQ(sectors, 11u);  // the image reaches into the last sector of the part
    for (uint32_t sector = 0; sector < sectors; ++sector) {
        SCOPED_TRACE("sector " + std::to_string(sector));
        const Receiver* receiver = RunFailing(
            [](ReceiverFaults& f, uint32_t s) { f.eraseFailSector = s; }, sector,
            "EraseSectorSet Fail!");
        const std::vector<uint8_t>& codes = receiver->Counters().requestCodes;
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 12), static_cast<long>(sector + 1));
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.back(), 12);  // nothing after the failed erase
        EXPECT_EQ(receiver->Counters().writes, 0u);
    }
    std::printf("[ matrix   ] erase failures: %zu runs\n", sectors);
}

TEST_F(AgentFaults, EveryFailedWriteChunkEndsWithEPWriteFail) {
    ASSERT_FALSE(HasFatalFailure());
    const uint32_t length = static_cast<uint32_t>(Image().size());
    const uint32_t chunks = (length + AGENT_CHUNK_SIZE - 1) / AGENT_CHUNK_SIZE;
    ASSERT_EQ(recording_.writeRequests, chunks);
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        const uint32_t address = chunk * AGENT_CHUNK_SIZE;
        const Receiver* receiver = RunFailing(
            [](ReceiverFaults& f, uint32_t a) { f.writeFailAddress = a; }, address, "EPWrite Fail");
        // The failing chunk is the last request; every chunk before it is in place.
        EXPECT_EQ(receiver->Counters().writes, chunk + 1);
        ASSERT_FALSE(receiver->Counters().requestCodes.empty());
        EXPECT_EQ(receiver->Counters().requestCodes.back(), 8);
        EXPECT_TRUE(FlashHoldsImageUpTo(address));
        // The bar shows the block that failed.
        const uint32_t block = address / 4096 * 4096;
        EXPECT_EQ(ProgressPercent(), static_cast<int32_t>(30 + block * 70 / length));
        if (HasFailure()) break;
    }
    std::printf("[ matrix   ] write failures: %u runs\n", chunks);
}

TEST_F(AgentFaults, FlashCrcOffByOneEndsWithCalculateFlashCRC16Fail) {
    ASSERT_FALSE(HasFatalFailure());
    const Receiver* receiver = RunFailing(
        [](ReceiverFaults& f, uint32_t) { f.crcOffByOne = true; }, 0, "CalculateFlashCRC16 Fail!");
    EXPECT_EQ(receiver->Counters().requestCodes.back(), 30);
    EXPECT_TRUE(FlashHoldsImageUpTo(Image().size()));
}

}  // namespace
