// zelvar with --baud and with several --port options, run as a user runs it
// against zelvar-receiver on pseudo-terminals, without a terminal.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/bench_run.h"
#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

// One zelvar-receiver on a fresh pseudo-terminal, stopped when it goes out
// of scope (a receiver whose update failed waits for a host forever).
class ReceiverProcess {
  public:
    ReceiverProcess(const fs::path& dir, const std::string& name, const std::string& options)
        : dump_(dir / (name + ".bin")), stats_(dir / (name + ".err")) {
        std::vector<std::string> args{RECEIVER_BIN, "--once", "--stats", "--flash-dump",
                                      dump_.string()};
        std::istringstream words(options);
        for (std::string w; words >> w;) args.push_back(w);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            FILE* err = std::fopen(stats_.c_str(), "w");
            if (err != nullptr) dup2(fileno(err), STDERR_FILENO);
            close(out[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // Its first line is the device.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') device_ += c;
        close(out[0]);
    }
    ~ReceiverProcess() { Stop(); }
    ReceiverProcess(const ReceiverProcess&) = delete;
    ReceiverProcess& operator=(const ReceiverProcess&) = delete;

    const std::string& Device() const { return device_; }
    std::vector<uint8_t> Flash() const { return ReadAll(dump_); }
    std::string Stats() const {
        std::ifstream in(stats_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Waits for the receiver to end by itself (--once: after a Disconnect);
    // true when it did within the time.
    bool EndsBy(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Ends it; it writes its flash dump and stats on the way out.
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
    }

  private:
    fs::path dump_;
    fs::path stats_;
    pid_t pid_ = -1;
    std::string device_;
};

class BenchProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvar-bench-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("ZELVAR_LOCK_FILE", (dir_ / "zelvar.lock").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

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

TEST_F(BenchProgramTest, FasterRatesFlashTheImage) {
    for (const uint32_t baud : {230400u, 460800u}) {
        SCOPED_TRACE(baud);
        ReceiverProcess receiver(dir_, "rx" + std::to_string(baud), "--flash-fill 0");
        ASSERT_FALSE(receiver.Device().empty());
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " +
                                           receiver.Device() + " --baud " + std::to_string(baud));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("[Done] Download Finish"), std::string::npos) << r.output;
        ASSERT_TRUE(receiver.EndsBy(std::chrono::seconds(5)));
        EXPECT_TRUE(StartsWithImage(receiver.Flash()));
        // The image itself went at the rate asked for.
        EXPECT_GT(BytesFromHostAt(receiver.Stats(), baud), 482008u) << receiver.Stats();
        EXPECT_EQ(BytesFromHostAt(receiver.Stats(), 115200), 0u);
    }
}

TEST_F(BenchProgramTest, Chip35IsRefusedAbove115200AndTheLinkEndsCleanly) {
    ReceiverProcess receiver(dir_, "rx35", "--chip-id 35 --flash-fill 0");
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --port " + receiver.Device() + " --baud 460800");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("(chip 35) cannot run at 460800 baud"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Download Finish"), std::string::npos);
    // The receiver saw the Disconnect (--once ends on it) and kept its flash.
    ASSERT_TRUE(receiver.EndsBy(std::chrono::seconds(5))) << receiver.Stats();
    EXPECT_TRUE(AllZero(receiver.Flash()));
    EXPECT_EQ(BytesFromHostAt(receiver.Stats(), 460800), 0u);
}

TEST_F(BenchProgramTest, RatesNoChipTakesAreRefusedBeforeAnythingStarts) {
    for (const char* rate : {"921600", "1000000", "700"}) {
        SCOPED_TRACE(rate);
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " +
                                           (dir_ / "ttyNone").string() + " --baud " + rate);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find(std::string("no receiver runs at ") + rate), std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find("115200, 230400, 460800"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("progress"), std::string::npos) << r.output;
    }
}

TEST_F(BenchProgramTest, SeveralReceiversEachGetTheirOwnOutcome) {
    ReceiverProcess a(dir_, "a", "--flash-fill 0");
    ReceiverProcess b(dir_, "b", "--flash-fill 0");
    ReceiverProcess c(dir_, "c", "--flash-fill 0 --write-fail-address 8192");
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --port " + a.Device() + " --port " + b.Device() +
                   " --port " + c.Device() + " --baud 460800");
    EXPECT_EQ(r.status, 1) << r.output;
    // Plain lines, each prefixed with its port, then one row per port.
    EXPECT_NE(r.output.find(a.Device() + ": [Done] Download Finish"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(b.Device() + ": [Done] Download Finish"), std::string::npos);
    EXPECT_NE(r.output.find(c.Device() + ": [Fail] EPWrite Fail"), std::string::npos);
    EXPECT_NE(r.output.find("outcome"), std::string::npos);
    const size_t table = r.output.find("outcome");
    EXPECT_NE(r.output.find(a.Device() + "  finished", table), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.Device() + "  failed", table), std::string::npos) << r.output;
    ASSERT_TRUE(a.EndsBy(std::chrono::seconds(5)));
    ASSERT_TRUE(b.EndsBy(std::chrono::seconds(5)));
    EXPECT_TRUE(StartsWithImage(a.Flash()));
    EXPECT_TRUE(StartsWithImage(b.Flash()));
}

TEST_F(BenchProgramTest, StatusTwoWhenNoneStartedAndZeroWhenAllFinished) {
    {
        ReceiverProcess a(dir_, "a35", "--chip-id 35");
        ReceiverProcess b(dir_, "b35", "--chip-id 35");
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " + a.Device() +
                                           " --port " + b.Device() + " --baud 230400");
        EXPECT_EQ(r.status, 2) << r.output;
    }
    ReceiverProcess a(dir_, "a", "");
    ReceiverProcess b(dir_, "b", "");
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --port " + a.Device() + " --port " + b.Device());
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(BenchProgramTest, AStopReachesEveryReceiverBeforeItsFlashIsTouched) {
    ReceiverProcess a(dir_, "a", "--flash-fill 0");
    ReceiverProcess b(dir_, "b", "--flash-fill 0");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        execl(ZELVAR_BIN, "zelvar", "--port", a.Device().c_str(), "--port", b.Device().c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Both children are within the line's 2 s settle wait once each reported 10%.
    std::string output;
    char buffer[512];
    while (output.find(a.Device() + ": progress 10%") == std::string::npos ||
           output.find(b.Device() + ": progress 10%") == std::string::npos) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        ASSERT_GT(n, 0) << output;
        output.append(buffer, static_cast<size_t>(n));
    }
    kill(pid, SIGINT);
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw)) << output;
    EXPECT_EQ(WEXITSTATUS(raw), 130) << output;
    const size_t table = output.find("outcome");
    ASSERT_NE(table, std::string::npos) << output;
    EXPECT_NE(output.find(a.Device() + "  stopped", table), std::string::npos) << output;
    EXPECT_NE(output.find(b.Device() + "  stopped", table), std::string::npos) << output;
    a.Stop();
    b.Stop();
    EXPECT_TRUE(AllZero(a.Flash()));
    EXPECT_TRUE(AllZero(b.Flash()));
}

struct PlanCase {
    std::vector<std::string> args;
    std::vector<BenchPort> ports;
    std::vector<std::string> common;
    bool error;
};

TEST(BenchPlanTest, BootPinsBelongToThePortBeforeThem) {
    const PlanCase cases[] = {
        {{"--port", "A"}, {{"A", ""}}, {}, false},
        {{"--port", "A", "--boot-pin", "c:1", "--baud", "460800", "--port=B"},
         {{"A", "c:1"}, {"B", ""}},
         {"--baud", "460800"},
         false},
        {{"--port", "A", "--port", "B", "--boot-pin=c:2", "--no-wait"},
         {{"A", ""}, {"B", "c:2"}},
         {"--no-wait"},
         false},
        {{"--boot-pin", "c:1", "--port", "A", "--port", "B"}, {}, {}, true},
        {{"--port", "A", "--port", "A"}, {}, {}, true},
        {{"--port", "A", "--boot-pin", "c:1", "--boot-pin", "c:2", "--port", "B"}, {}, {}, true},
    };
    for (const PlanCase& c : cases) {
        std::vector<std::string> storage{"zelvar"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& s : storage) argv.push_back(s.data());
        const BenchPlan plan = PlanBench(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(!plan.error.empty(), c.error) << plan.error;
        if (c.error) continue;
        ASSERT_EQ(plan.ports.size(), c.ports.size());
        for (size_t i = 0; i < c.ports.size(); ++i) {
            EXPECT_EQ(plan.ports[i].port, c.ports[i].port);
            EXPECT_EQ(plan.ports[i].bootPin, c.ports[i].bootPin);
        }
        if (c.ports.size() > 1) {
            EXPECT_EQ(plan.common, c.common);
            // The parser sees the first port and its pin only.
            EXPECT_EQ(std::count(plan.firstPortArgs.begin(), plan.firstPortArgs.end(), "--port"),
                      1);
        }
    }
}

}  // namespace
