// SPDX-License-Identifier: Apache-2.0
// Recovery as a user meets it: the zelvar program against the zelvar-receiver
// program over a pseudo-terminal. The receiver loses power in the middle of
// the write phase; the first run fails, the receiver program keeps running,
// and a second run of zelvar brings its flash to the image.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

class RecoveryProgramTest : public ProgramDirTest {
  protected:
    void TearDown() override {
        StopReceiver();
        ProgramDirTest::TearDown();
    }

    // Starts the receiver program with these options; its output goes to a
    // log in the test's directory.
    void StartReceiver(const std::vector<std::string>& options) {
        std::vector<std::string> args{RECEIVER_BIN};
        args.insert(args.end(), options.begin(), options.end());
        const std::string log = (dir_ / "receiver.log").string();
        receiver_ = fork();
        ASSERT_GE(receiver_, 0);
        if (receiver_ == 0) {
            const int null = open("/dev/null", O_RDONLY);
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(null, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(RECEIVER_BIN, argv.data());
            _exit(127);
        }
    }

    // Interrupts the receiver program; its exit status, or -1.
    int StopReceiver() {
        if (receiver_ <= 0) return -1;
        kill(receiver_, SIGTERM);
        int raw = 0;
        const pid_t done = waitpid(receiver_, &raw, 0);
        receiver_ = 0;
        return done > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    std::string ReceiverLog() const {
        std::ifstream in(dir_ / "receiver.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    pid_t receiver_ = 0;
};

TEST_F(RecoveryProgramTest, SecondRunAfterAPowerLossMidWriteFinishes) {
    const fs::path link = dir_ / "ttyGPS";
    const fs::path dump = dir_ / "flash.bin";
    StartReceiver({"--link", link.string(), "--flash-dump", dump.string(), "--flash-fill", "0",
                   "--power-loss-after-write", "236", "--verbose"});
    for (int i = 0; i < 100 && !fs::exists(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fs::exists(link)) << ReceiverLog();
    const std::string zelvar = std::string(ZELVAR_BIN) + " --no-wait --port " + link.string();
    const fs::path tempFile = dir_ / "zelvar" / "Tervalon.s";

    const CommandResult lost = RunCommand(zelvar);
    EXPECT_EQ(lost.status, 1) << lost.output;
    EXPECT_NE(lost.output.find("[Fail] EPWrite Fail"), std::string::npos) << lost.output;
    EXPECT_EQ(lost.output.find("Download Finish"), std::string::npos) << lost.output;
    EXPECT_TRUE(fs::exists(tempFile));

    const CommandResult again = RunCommand(zelvar);
    EXPECT_EQ(again.status, 0) << again.output << ReceiverLog();
    EXPECT_NE(again.output.find("[Done] Download Finish"), std::string::npos) << again.output;
    EXPECT_EQ(again.output.find("Fail"), std::string::npos) << again.output;
    EXPECT_FALSE(fs::exists(tempFile));

    // Stopped, the receiver writes its flash once more: all of the image.
    EXPECT_EQ(StopReceiver(), 0);
    const std::string log = ReceiverLog();
    EXPECT_NE(log.find("power lost"), std::string::npos);
    EXPECT_TRUE(StartsWithImage(ReadAll(dump)));
}

}  // namespace
