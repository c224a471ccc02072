// SPDX-License-Identifier: Apache-2.0
// zelvar with --baud and with several --port options, run as a user runs it
// against zelvar-receiver on pseudo-terminals, without a terminal.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

// One zelvar-receiver on a fresh pseudo-terminal; it prints the device first
// and its line figures (--stats) when it ends.
class Receiver {
  public:
    Receiver(const fs::path& dir, const std::string& name, std::vector<std::string> options)
        : dump_(dir / (name + ".bin")),
          process_(
              [&] {
                  std::vector<std::string> argv{RECEIVER_BIN, "--once", "--stats", "--flash-dump",
                                                dump_.string()};
                  argv.insert(argv.end(), options.begin(), options.end());
                  return argv;
              }(),
              false) {
        if (process_.WaitFor("\n", 30000)) {
            device_ = process_.Output().substr(0, process_.Output().find('\n'));
        }
    }
    const std::string& Device() const { return device_; }
    std::vector<uint8_t> Flash() const { return ReadAll(dump_); }
    std::string Stats() const { return process_.Output(); }
    // --once: it ends by itself after a Disconnect.
    // Its figures are its last words, which may still be in the pipe.
    bool EndsBy(int milliseconds) {
        return process_.Wait(milliseconds) == 0 && process_.WaitFor("lower bound", 10000);
    }
    // Ended by hand, it still writes its flash and figures.
    void Stop() {
        process_.Signal(SIGTERM);
        process_.Wait(30000);
        process_.WaitFor("lower bound", 10000);
    }

  private:
    fs::path dump_;
    Child process_;
    std::string device_;
};

class SeveralPortsProgramTest : public ProgramDirTest {};

// The outcome column of device's row in the table that ends the output, by
// fields: the port column is as wide as the longest port, so /dev/pts/9
// beside /dev/pts/10 has one more space before its outcome.
std::string RowOutcome(const std::string& output, const std::string& device) {
    const size_t table = output.rfind("\nport ");
    if (table == std::string::npos) return "";
    std::istringstream rows(output.substr(table + 1));
    std::string row;
    while (std::getline(rows, row)) {
        std::istringstream fields(row);
        std::string port, outcome;
        if (fields >> port >> outcome && port == device) return outcome;
    }
    return "";
}

bool AllZero(const std::vector<uint8_t>& flash) {
    return !flash.empty() &&
           std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0; });
}

// Bytes the receiver took from the host at this rate, from its --stats.
uint64_t BytesFromHostAt(const std::string& stats, uint32_t baud) {
    std::istringstream in(stats);
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long bytes = 0;
        unsigned rate = 0;
        if (std::sscanf(line.c_str(), "line: host -> receiver %llu bytes at %u baud", &bytes,
                        &rate) == 2 &&
            rate == baud) {
            return bytes;
        }
    }
    return 0;
}

TEST_F(SeveralPortsProgramTest, FasterRatesFlashTheImage) {
    for (const uint32_t baud : {230400u, 460800u}) {
        SCOPED_TRACE(baud);
        Receiver receiver(dir_, "rx" + std::to_string(baud), {"--flash-fill", "0"});
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " +
                                           receiver.Device() + " --baud " + std::to_string(baud));
        EXPECT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(receiver.EndsBy(5000));
        EXPECT_TRUE(StartsWithImage(receiver.Flash()));
        // The image itself went at the rate asked for.
        EXPECT_GT(BytesFromHostAt(receiver.Stats(), baud), 482008u) << receiver.Stats();
        EXPECT_EQ(BytesFromHostAt(receiver.Stats(), 115200), 0u);
    }
}

TEST_F(SeveralPortsProgramTest, Chip35IsRefusedAbove115200AndTheLinkEndsCleanly) {
    Receiver receiver(dir_, "rx35", {"--chip-id", "35", "--flash-fill", "0"});
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --port " + receiver.Device() + " --baud 460800");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("(chip 35) cannot run at 460800 baud"), std::string::npos) << r.output;
    // The receiver saw the Disconnect (--once ends on it) and kept its flash.
    ASSERT_TRUE(receiver.EndsBy(5000)) << receiver.Stats();
    EXPECT_TRUE(AllZero(receiver.Flash()));
    EXPECT_EQ(BytesFromHostAt(receiver.Stats(), 460800), 0u);
}

TEST_F(SeveralPortsProgramTest, RatesNoChipTakesAreRefusedBeforeAnythingStarts) {
    for (const char* rate : {"921600", "1000000", "700"}) {
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " +
                                           (dir_ / "ttyNone").string() + " --baud " + rate);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find(std::string("no receiver runs at ") + rate), std::string::npos);
        EXPECT_NE(r.output.find("115200, 230400, 460800"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("progress"), std::string::npos) << r.output;
    }
}

TEST_F(SeveralPortsProgramTest, SeveralReceiversEachGetTheirOwnOutcome) {
    Receiver a(dir_, "a", {"--flash-fill", "0"});
    Receiver b(dir_, "b", {"--flash-fill", "0"});
    Receiver c(dir_, "c", {"--flash-fill", "0", "--write-fail-address", "8192"});
    const fs::path errors = dir_ / "stderr";
    const CommandResult r = RunCommand("(" + std::string(ZELVAR_BIN) + " --port " + a.Device() +
                                       " --port " + b.Device() + " --port " + c.Device() +
                                       " --baud 460800 2>" + errors.string() + ")");
    const std::vector<uint8_t> bytes = ReadAll(errors);
    const std::string err(bytes.begin(), bytes.end());
    EXPECT_EQ(r.status, 1) << r.output;
    // Plain lines, each prefixed with its port, then one row per port; the
    // causes and remedies on stderr, prefixed the same.
    EXPECT_NE(r.output.find(a.Device() + ": [Done] Download Finish"), std::string::npos);
    EXPECT_NE(r.output.find(c.Device() + ": [Fail] EPWrite Fail"), std::string::npos);
    EXPECT_NE(err.find(c.Device() + ": zelvar: The receiver's flash is incomplete"),
              std::string::npos)
        << err;
    EXPECT_EQ(r.output.find("flash is incomplete"), std::string::npos) << r.output;
    EXPECT_EQ(RowOutcome(r.output, a.Device()), "updated") << r.output;
    EXPECT_EQ(RowOutcome(r.output, b.Device()), "updated") << r.output;
    EXPECT_EQ(RowOutcome(r.output, c.Device()), "failed") << r.output;
    ASSERT_TRUE(a.EndsBy(30000));
    ASSERT_TRUE(b.EndsBy(30000));
    EXPECT_TRUE(StartsWithImage(a.Flash()));
    EXPECT_TRUE(StartsWithImage(b.Flash()));
}

TEST_F(SeveralPortsProgramTest, NoneStartedIsStatusTwo) {
    Receiver a(dir_, "a", {"--chip-id", "35"});
    Receiver b(dir_, "b", {"--chip-id", "35"});
    const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " + a.Device() +
                                       " --port " + b.Device() + " --baud 230400");
    EXPECT_EQ(r.status, 2) << r.output;
}

TEST_F(SeveralPortsProgramTest, WithJsonOneArrayHoldsEachPortsReport) {
    Receiver a(dir_, "a", {});
    Receiver b(dir_, "b", {});
    // Standard output alone: the notices go to standard error.
    std::string command = "(";
    command.append(ZELVAR_BIN).append(" --port ").append(a.Device());
    command.append(" --port ").append(b.Device()).append(" --info --json 2>/dev/null)");
    const CommandResult r = RunCommand(command);
    EXPECT_EQ(r.status, 0) << r.output;
    ASSERT_FALSE(r.output.empty());
    EXPECT_EQ(r.output.front(), '[') << r.output;
    EXPECT_EQ(r.output.find(a.Device() + ":"), std::string::npos) << r.output;
    const size_t first = r.output.find("\"" + a.Device() + "\"");
    EXPECT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"" + b.Device() + "\"", first), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("},\n{"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - 2), "]\n");
}

TEST_F(SeveralPortsProgramTest, AStopReachesEveryReceiverBeforeItsFlashIsTouched) {
    Receiver a(dir_, "a", {"--flash-fill", "0"});
    Receiver b(dir_, "b", {"--flash-fill", "0"});
    Child bench({ZELVAR_BIN, "--port", a.Device(), "--port", b.Device()}, false);
    // Both are within the line's 2 s settle wait once each reported 10%.
    ASSERT_TRUE(bench.WaitFor(a.Device() + ": progress 10%", 30000)) << bench.Output();
    ASSERT_TRUE(bench.WaitFor(b.Device() + ": progress 10%", 30000)) << bench.Output();
    bench.Signal(SIGINT);
    EXPECT_EQ(bench.Wait(30000), 130) << bench.Output();
    const std::string output = bench.Output();
    EXPECT_EQ(RowOutcome(output, a.Device()), "stopped") << output;
    EXPECT_EQ(RowOutcome(output, b.Device()), "stopped") << output;
    a.Stop();
    b.Stop();
    EXPECT_TRUE(AllZero(a.Flash()));
    EXPECT_TRUE(AllZero(b.Flash()));
}

// A child holds its port as a zelvar: a second zelvar on that port is told
// so, not sent to close "another program".
TEST_F(SeveralPortsProgramTest, AChildHoldingItsPortIsAZelvar) {
    // Slow erases keep the children on their ports for seconds after the
    // settle wait.
    Receiver a(dir_, "a", {"--flash-fill", "0", "--erase-delay-ms", "300"});
    Receiver b(dir_, "b", {"--flash-fill", "0", "--erase-delay-ms", "300"});
    Child bench({ZELVAR_BIN, "--port", a.Device(), "--port", b.Device()}, false);
    ASSERT_TRUE(bench.WaitFor(b.Device() + ": progress 10%", 30000)) << bench.Output();
    const CommandResult second =
        RunCommand(std::string(ZELVAR_BIN) + " --port " + b.Device() + " --info");
    EXPECT_EQ(second.status, 2) << second.output;
    EXPECT_NE(second.output.find("zelvar is already running."), std::string::npos) << second.output;
    EXPECT_EQ(second.output.find("another program"), std::string::npos) << second.output;
    EXPECT_EQ(bench.Wait(60000), 0) << bench.Output();
    ASSERT_TRUE(a.EndsBy(30000));
    ASSERT_TRUE(b.EndsBy(30000));
    EXPECT_TRUE(StartsWithImage(b.Flash()));
}

}  // namespace
