// SPDX-License-Identifier: Apache-2.0
// The zelvar program as a user runs it: options, exit statuses, one instance,
// the power check and whole updates, without a terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

class ProgramTest : public ProgramDirTest {};

TEST_F(ProgramTest, OptionsAndTheirExitStatuses) {
    struct Case {
        const char* args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"", 2, "Sorry! Only for Tervalon Version!"},
        {"--no-such-option", 2, "--no-such-option"},
        {"--simulate --port /dev/null", 2, "excludes"},
        {"--boot-pin gpiochip0:3", 2, "--port"},
        {"--help", 0, "Exit status"},
        {"--version", 0, "zelvar 1.0"},
        {"--simulate --sim-battery", 2, "[Fail] Please install AC charger!"},
        {"--port /dev/null --boot-pin nonsense", 2, "CHIP:LINE"},
        {"--simulate --sim-part NOSUCHPART", 2, "NOSUCHPART"},
        {"--sim-bus 32", 2, "--simulate"},
        // Empty values are refused, not taken for the default.
        {"--port ''", 2, "empty"},
        {"--port /dev/null --boot-pin ''", 2, "empty"},
        {"--simulate --sim-bus ''", 2, "empty"},
        {"--simulate --sim-part ''", 2, "empty"},
        {"--simulate --sim-flash-dump ''", 2, "empty"},
        // The dump is opened before anything runs.
        {"--simulate --sim-flash-dump /nonexistent-dir/flash.bin", 2, "cannot write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " " + c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        if (c.status != 0) {
            EXPECT_EQ(r.output.find("Download Finish"), std::string::npos);
            EXPECT_EQ(r.output.find("progress 10%"), std::string::npos) << r.output;
        }
    }
}

TEST_F(ProgramTest, SimulatedUpdateRunsToDownloadFinish) {
    const fs::path dump = dir_ / "flash.bin";
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --simulate --sim-flash-dump " + dump.string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[Done] Download Finish"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("progress 10%"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Fail"), std::string::npos) << r.output;
    EXPECT_TRUE(StartsWithImage(ReadAll(dump)));
    EXPECT_FALSE(fs::exists(dir_ / "zelvar" / "Tervalon.s"));  // deleted after success
}

TEST_F(ProgramTest, SecondInstanceSaysSoAndDoesNotStart) {
    const int fd = open((dir_ / "zelvar.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --simulate");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("already running"), std::string::npos) << r.output;
    close(fd);
}

// Every signal that ends a program from a terminal stops the run while
// nothing has been sent to the receiver yet: inside the two seconds the
// receiver is given to settle. They begin a few milliseconds after the bar
// reaches 10% (the receiver's line is up then), and the bar is shown once a
// second: a second or more is left when 10% shows.
TEST_F(ProgramTest, InterruptBeforeTheFlashIsTouchedEndsTheRun) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        const fs::path dump = dir_ / "flash.bin";
        Child zelvar({ZELVAR_BIN, "--simulate", "--sim-flash-dump", dump.string()}, false);
        ASSERT_TRUE(zelvar.WaitFor("progress 10%", 10000)) << zelvar.Output();
        zelvar.Signal(signal);
        EXPECT_EQ(zelvar.Wait(5000), 130) << zelvar.Output();
        EXPECT_NE(zelvar.Output().find("nothing was sent to the receiver"), std::string::npos)
            << zelvar.Output();
        // The simulated receiver still holds its older firmware, all zeros.
        const std::vector<uint8_t> flash = ReadAll(dump);
        ASSERT_FALSE(flash.empty());
        EXPECT_EQ(std::count(flash.begin(), flash.end(), 0), static_cast<long>(flash.size()));
        EXPECT_FALSE(fs::exists(dir_ / "zelvar" / "Tervalon.s"));
    }
}

// Interrupting while the flash is written would leave the receiver unusable:
// the program says so and goes on. The line runs at its real speed here, so
// the write phase lasts long enough to be interrupted.
TEST_F(ProgramTest, InterruptWhileTheFlashIsWrittenIsRefused) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        execl(ZELVAR_BIN, ZELVAR_BIN, "--simulate", "--sim-wire-timing",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    // Collects output until it holds text or the deadline passes.
    auto waitFor = [&](const std::string& text, int milliseconds) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (seen.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd pfd{out[0], POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) return false;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return true;
    };
    const bool writing = waitFor("progress 3", 20000);  // 30% and on: the write phase
    EXPECT_TRUE(writing) << seen;
    if (writing) {
        kill(pid, SIGINT);
        EXPECT_TRUE(waitFor("The update goes on.", 3000)) << seen;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int raw = 0;
        EXPECT_EQ(waitpid(pid, &raw, WNOHANG), 0);  // still updating
    }
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    close(out[0]);
}

TEST_F(ProgramTest, UpdatesTheReceiverProgramOverAPseudoTerminal) {
    const fs::path link = dir_ / "ttyGPS";
    const fs::path dump = dir_ / "flash.bin";
    const std::string receiver = std::string(RECEIVER_BIN) + " --once --link " + link.string() +
                                 " --flash-dump " + dump.string();
    FILE* peer = popen((receiver + " >/dev/null 2>&1").c_str(), "r");
    ASSERT_NE(peer, nullptr);
    for (int i = 0; i < 100 && !fs::exists(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fs::exists(link));
    const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " --port " + link.string());
    const int receiverRaw = pclose(peer);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[Done] Download Finish"), std::string::npos) << r.output;
    EXPECT_TRUE(WIFEXITED(receiverRaw) && WEXITSTATUS(receiverRaw) == 0);
    EXPECT_TRUE(StartsWithImage(ReadAll(dump)));
}

// zelvar-receiver on a pseudo-terminal that traces every frame it takes
// ("#N <- ...-byte frame, code C") and leaves its flash in a file.
class ReceiverOnPty {
  public:
    ReceiverOnPty(const fs::path& dir, std::vector<std::string> extra)
        : link_(dir / "ttyGPS"), dump_(dir / "flash.bin") {
        std::vector<std::string> argv{RECEIVER_BIN,   "-v",           "--once",      "--link",
                                      link_.string(), "--flash-dump", dump_.string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<Child>(argv, false);
        for (int i = 0; i < 100 && !fs::exists(link_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const fs::path& Link() const { return link_; }
    Child& Trace() { return *child_; }
    // The flash once the receiver ended with the host's disconnect.
    std::vector<uint8_t> Flash() {
        child_->Wait(10000);
        return ReadAll(dump_);
    }

  private:
    fs::path link_;
    fs::path dump_;
    std::unique_ptr<Child> child_;
};

// The CRC check is frame 495 of an update of the receiver's default flash;
// the case that stalls it waits for that frame to carry the CRC check's code.
constexpr const char* CRC_FRAME = "495";

struct LateSignal {
    const char* name;
    int signal;
    std::vector<std::string> receiverOptions;
    const char* waitFor;  // in the receiver's trace
};

// From the first erase or write until the outcome is known a stop is refused
// with a notice, whatever the signal, and the update runs to its end: the
// flash then holds the whole image and the status is that of the outcome.
TEST_F(ProgramTest, SignalsWhileTheFlashIsUpdatedAreRefused) {
    const LateSignal cases[] = {
        {"terminal closed at frame 100", SIGHUP, {}, "#100 <- "},
        {"terminal closed during the erase",
         SIGHUP,
         {"--flash-fill", "0", "--erase-delay-ms", "60"},
         ", code 12"},
        {"Ctrl-C during the CRC check",
         SIGINT,
         {"--stall", CRC_FRAME, "--stall-ms", "1000"},
         "#495 <- 11-byte frame, code 30"},
    };
    for (const LateSignal& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverOnPty receiver(dir_, c.receiverOptions);
        Child zelvar({ZELVAR_BIN, "--port", receiver.Link().string()}, false);
        ASSERT_TRUE(receiver.Trace().WaitFor(c.waitFor, 10000)) << receiver.Trace().Output();
        zelvar.Signal(c.signal);
        EXPECT_EQ(zelvar.Wait(20000), 0) << zelvar.Output();
        EXPECT_NE(zelvar.Output().find("The update goes on."), std::string::npos)
            << zelvar.Output();
        EXPECT_NE(zelvar.Output().find("[Done] Download Finish"), std::string::npos);
        EXPECT_TRUE(StartsWithImage(receiver.Flash()));
    }
}

// A stop once the receiver answers, before its flash is touched: the link is
// closed with a disconnect, the board restored, and the flash keeps its firmware.
TEST_F(ProgramTest, StopWithTheLinkOpenLeavesTheFlashAsItWas) {
    ReceiverOnPty receiver(dir_, {"--flash-fill", "0"});
    Child zelvar({ZELVAR_BIN, "--port", receiver.Link().string()}, false);
    ASSERT_TRUE(receiver.Trace().WaitFor("#1 <- ", 10000));
    zelvar.Signal(SIGTERM);
    EXPECT_EQ(zelvar.Wait(10000), 130) << zelvar.Output();
    EXPECT_NE(zelvar.Output().find("the receiver's flash was not touched; it runs its firmware "
                                   "again"),
              std::string::npos)
        << zelvar.Output();
    const std::vector<uint8_t> flash = receiver.Flash();
    ASSERT_FALSE(flash.empty());
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0), static_cast<long>(flash.size()));
    EXPECT_NE(receiver.Trace().Output().find(", code 34"), std::string::npos);
    EXPECT_EQ(receiver.Trace().Output().find(", code 12"), std::string::npos);
    EXPECT_EQ(receiver.Trace().Output().find(", code 8"), std::string::npos);
}

// A reader that goes away early neither stops nor kills the update.
TEST_F(ProgramTest, OutputPipeClosedEarlyDoesNotStopTheUpdate) {
    ReceiverOnPty receiver(dir_, {});
    const CommandResult r =
        RunCommand("bash -c '" + std::string(ZELVAR_BIN) + " --port " + receiver.Link().string() +
                   " | head -n 1; echo status=${PIPESTATUS[0]}'");
    EXPECT_NE(r.output.find("status=0"), std::string::npos) << r.output;
    EXPECT_TRUE(StartsWithImage(receiver.Flash()));
}

// On a terminal the last message waits for Enter; Ctrl-C there ends the
// program with the outcome's status, not 130.
TEST_F(ProgramTest, InterruptAtTheLastMessageEndsWithItsStatus) {
    ReceiverOnPty receiver(dir_, {});
    Child zelvar({ZELVAR_BIN, "--port", receiver.Link().string()}, true);
    ASSERT_TRUE(zelvar.WaitFor("Download Finish\r\nPress Enter to continue.", 20000))
        << zelvar.Output();
    zelvar.Signal(SIGINT);
    EXPECT_EQ(zelvar.Wait(3000), 0) << zelvar.Output();
    EXPECT_EQ(zelvar.Output().find("not touched"), std::string::npos) << zelvar.Output();
    EXPECT_TRUE(StartsWithImage(receiver.Flash()));
    EXPECT_FALSE(fs::exists(dir_ / "zelvar" / "Tervalon.s"));
}

}  // namespace
