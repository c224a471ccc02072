// The zelvar program as a user runs it: options, exit statuses, one instance,
// the power check and whole updates, without a terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvar-program-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // A lock and a runtime directory of this test's own.
        setenv("ZELVAR_LOCK_FILE", (dir_ / "zelvar.lock").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " " + c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        if (c.status != 0) {
            EXPECT_EQ(r.output.find("Download Finish"), std::string::npos);
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

TEST_F(ProgramTest, InterruptBeforeTheFlashIsTouchedEndsTheRun) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(ZELVAR_BIN, ZELVAR_BIN, "--simulate", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Inside the two seconds the receiver is given to settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGINT);
    int raw = 0;
    ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 130);
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

}  // namespace
