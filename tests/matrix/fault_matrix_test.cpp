// SPDX-License-Identifier: Apache-2.0
// The fault matrix: a whole successful update is recorded exchange by
// exchange, then the whole update is run again once for every exchange and
// every way that exchange can go wrong, on the receiver's side or on the
// host's own line. Each run must end with the message of the step that owns
// the faulted exchange and that step's exit code, within bounded virtual
// time, and never with "Download Finish" unless the step's result is not
// examined at all.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "boot/boot.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "tests/support/update_fixture.h"
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
    Stall,       // the answer leaves 3000 ms late, past the host's wait
    LateAnswer,  // the answer leaves 2000 ms late, just inside the host's wait
    OversizeAnswer,
    ShortFrameWrite,  // the request frame is written one byte short
    ShortAckRead,     // the read of the receiver's ACK returns nothing
    ShortHeaderRead,  // the answer's length field comes back one byte short
    ShortBodyRead,    // the answer's payload and checksum come back one byte short
    ShortAckWrite,    // the host's ACK of the answer is not written
};

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Nak:
            return "Nak";
        case Kind::CorruptAnswer:
            return "CorruptAnswer";
        case Kind::DropAnswer:
            return "DropAnswer";
        case Kind::WrongCode:
            return "WrongCode";
        case Kind::TrailingByte:
            return "TrailingByte";
        case Kind::Stall:
            return "Stall";
        case Kind::LateAnswer:
            return "LateAnswer";
        case Kind::OversizeAnswer:
            return "OversizeAnswer";
        case Kind::ShortFrameWrite:
            return "ShortFrameWrite";
        case Kind::ShortAckRead:
            return "ShortAckRead";
        case Kind::ShortHeaderRead:
            return "ShortHeaderRead";
        case Kind::ShortBodyRead:
            return "ShortBodyRead";
        case Kind::ShortAckWrite:
            return "ShortAckWrite";
    }
    return "?";
}

bool ReceiverFault(Kind kind, FrameFault* fault) {
    switch (kind) {
        case Kind::Nak:
            *fault = FrameFault::Nak;
            return true;
        case Kind::CorruptAnswer:
            *fault = FrameFault::CorruptAnswer;
            return true;
        case Kind::DropAnswer:
            *fault = FrameFault::DropAnswer;
            return true;
        case Kind::WrongCode:
            *fault = FrameFault::WrongCode;
            return true;
        case Kind::TrailingByte:
            *fault = FrameFault::TrailingByte;
            return true;
        case Kind::Stall:
        case Kind::LateAnswer:
            *fault = FrameFault::Stall;
            return true;
        case Kind::OversizeAnswer:
            *fault = FrameFault::OversizeAnswer;
            return true;
        default:
            return false;
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
        case 24:
            return "CheckBlank Fail!";
        case 20:
            return "SectorSetInfo Fail!";
        case 12:
            return "EraseSectorSet Fail!";
        case 8:
            return "EPWrite Fail";
        case 30:
            return "CalculateFlashCRC16 Fail!";
        case 14:  // EPClose and Disconnect: their results are not examined
        case 34:
            return FINISHED;
        default:
            return nullptr;
    }
}

// What the run must end with when this exchange goes wrong this way.
const char* ExpectedMessage(Kind kind, uint8_t code) {
    // Of the answers to WriteAgentBlock and StartAgent only the code is
    // examined: a byte after it is carried along and the update goes on.
    if (kind == Kind::TrailingByte && (code == 2 || code == 4)) return FINISHED;
    // The host waits 2008 ms for the first bytes of every answer: one that
    // comes 2000 ms late is still taken, whichever exchange it ends.
    if (kind == Kind::LateAnswer) return FINISHED;
    // An erase's answer is awaited as long as the part may take to erase:
    // 3000 ms late is still in time.
    if (kind == Kind::Stall && code == AGENT_ERASE_SECTOR_SET) return FINISHED;
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
    uint64_t endMs = 0;  // virtual time at the end of the successful update
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
        }
        ASSERT_EQ(FakeLineWriteCalls(), static_cast<int>(2 * exchanges.size()));
        ASSERT_EQ(FakeLineReadCalls(), static_cast<int>(3 * exchanges.size()));
        out->endMs = FakeClockNow();
    }

    // Puts one fault of this kind on exchange index: into the receiver's
    // faults and the line's. Every call and frame it names is still to come.
    static void Arm(Kind kind, const Exchange& e, size_t index) {
        FrameFault fault;
        if (ReceiverFault(kind, &fault)) {
            ReceiverFaults& faults = HandheldSimReceiver()->Faults();
            faults.frames[static_cast<uint32_t>(index + 1)] = fault;
            faults.stallMs = kind == Kind::LateAnswer ? 2000 : 3000;
        }
        switch (kind) {
            case Kind::ShortFrameWrite:
                FakeLineShortWriteAt(e.writeCall);
                break;
            case Kind::ShortAckRead:
                FakeLineShortReadAt(e.readsBefore + 1);
                break;
            case Kind::ShortHeaderRead:
                FakeLineShortReadAt(e.readsBefore + 2);
                break;
            case Kind::ShortBodyRead:
                FakeLineShortReadAt(e.readsBefore + 3);
                break;
            case Kind::ShortAckWrite:
                FakeLineShortWriteAt(e.writeCall + 1);
                break;
            default:
                break;
        }
    }

    // What went wrong in a run with this fault on exchange index, which
    // ended with exitCode; empty when nothing did.
    std::string Judge(const Recording& recording, size_t index, Kind kind, uint32_t exitCode) {
        const Exchange& e = recording.exchanges[index];
        const uint32_t frame = static_cast<uint32_t>(index + 1);
        char where[96];
        std::snprintf(where, sizeof where, "%s at exchange %zu (code %u):", KindName(kind), index,
                      e.code);
        const char* expected = ExpectedMessage(kind, e.code);
        if (expected == nullptr) return where + std::string(" no step owns this code");
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
            // The failing exchange is the last: nothing is retried, and only a
            // refused EPOpen (with the buffer size it sets) is followed, by the
            // Disconnect that returns the receiver to its boot ROM (which may
            // itself go unanswered). A frame written short never reaches the
            // receiver whole.
            const bool closes = e.code == 6 || e.code == 26;  // EPOpen and its buffer size
            const uint32_t frames = kind == Kind::ShortFrameWrite ? frame - 1 : frame;
            const uint32_t took = receiver->Counters().frames;
            if (took != frames && !(closes && took == frames + 1)) {
                problem("receiver took " + std::to_string(took) + " frames, expected " +
                        std::to_string(frames));
            }
            const uint64_t wait =
                e.code == AGENT_ERASE_SECTOR_SET
                    ? EXCHANGE_WAIT_MS + AgentEraseWaitMs() + FLASH_ERASE_MARGIN_MS
                    : (closes ? 2 : 1) * EXCHANGE_WAIT_MS;
            if (FakeClockNow() > e.startMs + wait) {
                problem("virtual time " + std::to_string(FakeClockNow()) +
                        " ms, exchange began at " + std::to_string(e.startMs));
            }
            if (UpdateFlashBusy()) problem("still flagged busy");
            // Nothing is repeated by default; the status tells a failure
            // before the first erase (flash unchanged) from one at or after it.
            const UpdateResult& result = UpdateLastResult();
            if (result.retries != 0) problem("retries " + std::to_string(result.retries));
            const auto firstErase =
                std::find_if(recording.exchanges.begin(), recording.exchanges.end(),
                             [](const Exchange& x) { return x.code == AGENT_ERASE_SECTOR_SET; });
            const bool erased =
                index >= static_cast<size_t>(firstErase - recording.exchanges.begin());
            const int status = UpdateExitStatus(result);
            if (status != (erased ? UPDATE_EXIT_FLASH_CHANGED : UPDATE_EXIT_FLASH_UNCHANGED))
                problem("status " + std::to_string(status));
        }
        return problems.empty() ? std::string() : where + problems;
    }

    // Runs the whole update on a fresh handheld with one fault from the
    // start; returns what went wrong, or an empty text.
    std::string RunWithFault(const HandheldSimConfig& config, const Recording& recording,
                             size_t index, Kind kind) {
        Fresh();
        Start(config);
        Arm(kind, recording.exchanges[index], index);
        const uint32_t exitCode = Run();
        return Judge(recording, index, kind, exitCode);
    }

    // One run of the matrix done by ForkEach: the run is forked from a
    // successful update once that update has taken forkAfterFrame frames;
    // the copy arms its fault, runs to its end and is judged.
    struct ForkedRun {
        uint32_t forkAfterFrame;
        std::function<void()> arm;
        std::function<std::string(uint32_t exitCode)> judge;
    };

    // Every run of a whole update with one fault shares, frame for frame, the
    // part of a successful update before the fault. Instead of repeating that
    // part for every run, one successful update is run and copied (forked)
    // just before each fault's first frame or call; each copy arms its fault
    // and runs its update to the end on its own. Returns the failures.
    std::vector<std::string> ForkEach(const HandheldSimConfig& config,
                                      const std::vector<ForkedRun>& runs) {
        std::vector<std::string> failures;
        Fresh();
        Start(config);
        Receiver* receiver = HandheldSimReceiver();
        long child = -1;  // in a copy: the run it does
        int verdictFd = -1;
        size_t next = 0;
        // In the copy, true once it is set up; in the original, after the
        // copy ended and was heard.
        auto spawn = [&](size_t run) {
            int fds[2];
            if (pipe(fds) != 0) {
                failures.push_back("pipe failed");
                return false;
            }
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                child = static_cast<long>(run);
                verdictFd = fds[1];
                runs[run].arm();
                return true;
            }
            close(fds[1]);
            std::string verdict;
            char buffer[512];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
                verdict.append(buffer, static_cast<size_t>(n));
            }
            close(fds[0]);
            int raw = 0;
            if (pid < 0 || waitpid(pid, &raw, 0) != pid) {
                failures.push_back("run " + std::to_string(run) + ": fork failed");
            } else if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
                failures.push_back("run " + std::to_string(run) + " crashed: " +
                                   (WIFSIGNALED(raw)
                                        ? "signal " + std::to_string(WTERMSIG(raw))
                                        : "status " + std::to_string(WEXITSTATUS(raw))) +
                                   " " + verdict);
            } else if (verdict != "ok") {
                failures.push_back(verdict);
            }
            return false;
        };
        auto spawnAt = [&](uint32_t frames) {
            while (child < 0 && next < runs.size() && runs[next].forkAfterFrame == frames) {
                if (spawn(next++)) return;
            }
        };
        uint32_t frames = 0;
        spawnAt(0);
        // The receiver logs each frame as it completes, inside the host's
        // write of its last byte.
        receiver->SetLog([&](const std::string& line) {
            if (child >= 0 || line.empty() || line[0] != '#') return;
            spawnAt(++frames);
        });
        const uint32_t exitCode = Run();
        if (child >= 0) {
            std::string verdict = runs[static_cast<size_t>(child)].judge(exitCode);
            if (verdict.empty()) verdict = "ok";
            const ssize_t written = write(verdictFd, verdict.data(), verdict.size());
            _exit(written == static_cast<ssize_t>(verdict.size()) ? 0 : 3);
        }
        receiver->SetLog(nullptr);
        if (next != runs.size())
            failures.push_back("only " + std::to_string(next) + " runs started");
        if (exitCode != 0 || !Finished())
            failures.push_back("the update the runs fork from failed");
        return failures;
    }

    static void Report(const std::vector<std::string>& failures, size_t runs) {
        for (size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
        EXPECT_TRUE(failures.empty()) << failures.size() << " of " << runs << " runs failed";
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
    const Kind kind = GetParam();
    std::vector<ForkedRun> runs;
    for (size_t i = 0; i < recording.exchanges.size(); ++i) {
        runs.push_back(ForkedRun{static_cast<uint32_t>(i),
                                 [kind, &recording, i] { Arm(kind, recording.exchanges[i], i); },
                                 [this, kind, &recording, i](uint32_t exitCode) {
                                     return Judge(recording, i, kind, exitCode);
                                 }});
    }
    Report(ForkEach(config, runs), runs.size());
    std::printf("[ matrix   ] %s: %zu runs over %zu exchanges (the update alone: %llu ms)\n",
                KindName(kind), runs.size(), recording.exchanges.size(),
                static_cast<unsigned long long>(recording.endMs));
}

// The first stage of chip 35 takes one ConfigureAlternate instead of the
// clock queries; its boot stage gets the same treatment, each run a new
// update from the start with its fault set up before it begins.
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
    std::vector<std::string> failures;
    for (size_t i = 0; i < end; ++i) {
        std::string failure = RunWithFault(config, recording, i, GetParam());
        if (!failure.empty()) failures.push_back(std::move(failure));
    }
    Report(failures, end);
    std::printf("[ matrix   ] %s, chip 35: %zu runs\n", KindName(GetParam()), end);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ExchangeFaults,
                         ::testing::Values(Kind::Nak, Kind::CorruptAnswer, Kind::DropAnswer,
                                           Kind::WrongCode, Kind::TrailingByte, Kind::Stall,
                                           Kind::LateAnswer, Kind::OversizeAnswer,
                                           Kind::ShortFrameWrite, Kind::ShortAckRead,
                                           Kind::ShortHeaderRead, Kind::ShortBodyRead,
                                           Kind::ShortAckWrite),
                         [](const ::testing::TestParamInfo<Kind>& p) { return KindName(p.param); });

// The same faults with three repeats asked for. The table below is this
// test's own view of which requests the far end takes twice safely: every
// agent command of an update and the read-only or same-bytes requests of the
// boot stage. Those finish over the image after one repeat; the others of the
// boot stage end as without repeats, with the flash unchanged (status 2).
bool RepeatCures(uint8_t code) {
    switch (code) {
        case AGENT_OPEN:
        case AGENT_SET_PROGRAM_BUFFER_SIZE:
        case AGENT_CHECK_BLANK:
        case AGENT_SECTOR_SET_INFO:
        case AGENT_ERASE_SECTOR_SET:
        case AGENT_WRITE:
        case AGENT_CALCULATE_CRC16:
        case AGENT_CLOSE:
        case 42:  // QueryChipId
        case 44:  // the clock queries
        case 46:
        case 48:
        case 2:  // WriteAgentBlock
            return true;
        default:
            return false;
    }
}

// How many repeats a fault of this kind on a request with code takes: none
// where the fault is not seen (an answer that is not examined, a stall that
// an erase's long wait covers), one where a repeat cures it, and none where
// repeating is not allowed (the run fails).
uint32_t RepeatsExpected(Kind kind, uint8_t code) {
    if (code == BOOT_DISCONNECT) return 0;
    if (kind == Kind::Stall && code == AGENT_ERASE_SECTOR_SET) return 0;
    if (kind == Kind::TrailingByte && (code == 2 || code == 4)) return 0;
    return RepeatCures(code) ? 1 : 0;
}

class RetriedFaults : public FaultMatrix, public ::testing::WithParamInterface<Kind> {
  protected:
    std::string JudgeRetried(const Recording& recording, size_t index, Kind kind,
                             uint32_t exitCode) {
        const Exchange& e = recording.exchanges[index];
        char where[96];
        std::snprintf(where, sizeof where,
                      "%s at exchange %zu (code %u), 3 retries:", KindName(kind), index, e.code);
        const uint32_t repeats = RepeatsExpected(kind, e.code);
        const bool finishes = repeats > 0 || std::string(ExpectedMessage(kind, e.code)) == FINISHED;
        const UpdateResult& result = UpdateLastResult();
        std::string problems;
        auto problem = [&problems](const std::string& text) { problems += " " + text + ";"; };
        if (messages.size() != 1) problem(std::to_string(messages.size()) + " messages");
        const char* expected = finishes ? FINISHED : StepMessage(e.code);
        for (const ShownMessage& m : messages) {
            if (m.text != expected) problem("shown \"" + m.text + "\"");
        }
        if (result.retries != repeats) problem("retries " + std::to_string(result.retries));
        const uint32_t took = HandheldSimReceiver()->Counters().frames;
        const int status = UpdateExitStatus(result);
        if (finishes) {
            if (exitCode != 0 || status != UPDATE_EXIT_DONE)
                problem("exit code " + std::to_string(exitCode) + ", status " +
                        std::to_string(status));
            const std::vector<uint8_t> flash = HandheldSimFlash();
            if (flash.size() < Image().size() ||
                !std::equal(Image().begin(), Image().end(), flash.begin())) {
                problem("flash does not hold the image");
            }
            // Each repeat is one more frame, nothing else is sent twice; an
            // EPOpen the agent took before its answer was lost is found open
            // by the repeat, and closed and opened again.
            const bool reopened = e.code == AGENT_OPEN && kind != Kind::Nak;
            if (took != recording.exchanges.size() + repeats + (reopened ? 2 : 0))
                problem("receiver took " + std::to_string(took) + " frames");
            // A repeat costs the failed exchange's wait, the stalled answer and
            // the quiet read that follows it.
            const uint64_t limit = recording.endMs + 2 * EXCHANGE_WAIT_MS + 3000;
            if (FakeClockNow() > limit) problem("virtual time " + std::to_string(FakeClockNow()));
        } else {
            // Not repeated: the failing frame is the last, and the receiver's
            // flash was never touched.
            if (exitCode != 1 || status != UPDATE_EXIT_FLASH_UNCHANGED || result.flashChanged)
                problem("exit code " + std::to_string(exitCode) + ", status " +
                        std::to_string(status));
            if (took != index + 1) problem("receiver took " + std::to_string(took) + " frames");
            if (HandheldSimReceiver()->Counters().writes != 0) problem("wrote");
        }
        return problems.empty() ? std::string() : where + problems;
    }
};

// Every exchange of a whole update but most of the writes, each with one
// fault of the receiver's, the update asked to repeat up to three times. The
// writes are alike but for their address: the first, every 33rd (so that
// each offset of a chunk in its 4096-byte block comes up) and the last.
TEST_P(RetriedFaults, EveryKindOfExchangeFinishesOrIsNotRepeated) {
    const HandheldSimConfig config = OldFirmware(48);
    Recording recording;
    Record(config, &recording);
    if (HasFatalFailure()) return;
    const Kind kind = GetParam();
    std::vector<ForkedRun> runs;
    size_t write = 0;
    const size_t writes =
        static_cast<size_t>(std::count_if(recording.exchanges.begin(), recording.exchanges.end(),
                                          [](const Exchange& e) { return e.code == AGENT_WRITE; }));
    for (size_t i = 0; i < recording.exchanges.size(); ++i) {
        if (recording.exchanges[i].code == AGENT_WRITE) {
            const size_t n = write++;
            if (n % 33 != 0 && n + 1 != writes) continue;
        }
        runs.push_back(ForkedRun{static_cast<uint32_t>(i),
                                 [kind, &recording, i] { Arm(kind, recording.exchanges[i], i); },
                                 [this, kind, &recording, i](uint32_t exitCode) {
                                     return JudgeRetried(recording, i, kind, exitCode);
                                 }});
    }
    request.retries = 3;
    Report(ForkEach(config, runs), runs.size());
    std::printf("[ matrix   ] %s, 3 retries: %zu runs\n", KindName(kind), runs.size());
}

INSTANTIATE_TEST_SUITE_P(Matrix, RetriedFaults,
                         ::testing::Values(Kind::Nak, Kind::CorruptAnswer, Kind::DropAnswer,
                                           Kind::WrongCode, Kind::TrailingByte, Kind::Stall,
                                           Kind::OversizeAnswer),
                         [](const ::testing::TestParamInfo<Kind>& p) { return KindName(p.param); });

// The agent's own refusals: an erase that does not complete, for every sector
// the update erases; a program that does not verify, at the start of every
// chunk the update writes; and a flash CRC that does not match. Each run is
// forked from a successful update just before the refused request.
class AgentFaults : public FaultMatrix {
  protected:
    void SetUp() override {
        FaultMatrix::SetUp();
        Record(OldFirmware(48), &recording_);
    }

    // Exchange indices of the requests with this code, in order.
    std::vector<size_t> IndicesOf(uint8_t code) const {
        std::vector<size_t> indices;
        for (size_t i = 0; i < recording_.exchanges.size(); ++i) {
            if (recording_.exchanges[i].code == code) indices.push_back(i);
        }
        return indices;
    }

    // The run must fail with message and exit code 1, with the request of
    // exchange index the last the receiver took.
    std::string Outcome(const char* message, size_t index, uint32_t exitCode) const {
        std::string problems;
        auto problem = [&problems](const std::string& text) { problems += " " + text + ";"; };
        if (exitCode != 1) problem("exit code " + std::to_string(exitCode));
        if (messages.size() != 1) problem(std::to_string(messages.size()) + " messages");
        for (const ShownMessage& m : messages) {
            if (m.text != message || m.caption != "Fail") problem("shown \"" + m.text + "\"");
        }
        if (HandheldSimReceiver()->Counters().frames != index + 1) {
            problem("receiver took " + std::to_string(HandheldSimReceiver()->Counters().frames) +
                    " frames");
        }
        if (FakeClockNow() > recording_.endMs)
            problem("virtual time " + std::to_string(FakeClockNow()));
        if (UpdateFlashBusy()) problem("still flagged busy");
        return problems;
    }

    static bool FlashHoldsImageUpTo(size_t end) {
        const std::vector<uint8_t> flash = HandheldSimFlash();
        return flash.size() >= end &&
               std::equal(Image().begin(), Image().begin() + static_cast<long>(end), flash.begin());
    }

    Recording recording_;
};

TEST_F(AgentFaults, EveryFailedEraseEndsWithEraseSectorSetFail) {
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<size_t> erases = IndicesOf(12);
    ASSERT_EQ(erases.size(), 11u);  // the image reaches into the last sector of the part
    std::vector<ForkedRun> runs;
    for (uint32_t sector = 0; sector < erases.size(); ++sector) {
        const size_t index = erases[sector];
        runs.push_back(
            ForkedRun{static_cast<uint32_t>(index),
                      [sector] { HandheldSimReceiver()->Faults().eraseFailSector = sector; },
                      [this, sector, index](uint32_t exitCode) {
                          std::string problems = Outcome("EraseSectorSet Fail!", index, exitCode);
                          if (HandheldSimReceiver()->Counters().writes != 0) problems += " wrote;";
                          return problems.empty()
                                     ? problems
                                     : "erase of sector " + std::to_string(sector) + ":" + problems;
                      }});
    }
    Report(ForkEach(OldFirmware(48), runs), runs.size());
    std::printf("[ matrix   ] erase failures: %zu runs\n", runs.size());
}

TEST_F(AgentFaults, EveryFailedWriteChunkEndsWithEPWriteFail) {
    ASSERT_FALSE(HasFatalFailure());
    const uint32_t length = static_cast<uint32_t>(Image().size());
    const std::vector<size_t> writes = IndicesOf(8);
    ASSERT_EQ(writes.size(), (length + AGENT_CHUNK_SIZE - 1) / AGENT_CHUNK_SIZE);
    std::vector<ForkedRun> runs;
    for (uint32_t chunk = 0; chunk < writes.size(); ++chunk) {
        const size_t index = writes[chunk];
        const uint32_t address = chunk * AGENT_CHUNK_SIZE;
        runs.push_back(ForkedRun{
            static_cast<uint32_t>(index),
            [address] { HandheldSimReceiver()->Faults().writeFailAddress = address; },
            [this, chunk, index, address, length](uint32_t exitCode) {
                std::string problems = Outcome("EPWrite Fail", index, exitCode);
                // Every chunk before the failing one is in place.
                if (HandheldSimReceiver()->Counters().writes != chunk + 1) problems += " writes;";
                if (!FlashHoldsImageUpTo(address)) problems += " flash;";
                // The bar shows the block that failed.
                const uint32_t block = address / 4096 * 4096;
                if (ProgressPercent() != static_cast<int32_t>(30 + block * 70 / length)) {
                    problems += " progress " + std::to_string(ProgressPercent()) + ";";
                }
                return problems.empty() ? problems
                                        : "chunk " + std::to_string(chunk) + ":" + problems;
            }});
    }
    Report(ForkEach(OldFirmware(48), runs), runs.size());
    std::printf("[ matrix   ] write failures: %zu runs\n", runs.size());
}

TEST_F(AgentFaults, FlashCrcOffByOneEndsWithCalculateFlashCRC16Fail) {
    ASSERT_FALSE(HasFatalFailure());
    Fresh();
    HandheldSimConfig config = OldFirmware(48);
    config.receiver.faults.crcOffByOne = true;
    Start(config);
    const uint32_t exitCode = Run();
    const std::vector<size_t> crc = IndicesOf(30);
    ASSERT_EQ(crc.size(), 1u);
    EXPECT_EQ(Outcome("CalculateFlashCRC16 Fail!", crc[0], exitCode), "");
    EXPECT_TRUE(FlashHoldsImageUpTo(Image().size()));
}

}  // namespace
