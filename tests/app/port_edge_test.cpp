// SPDX-License-Identifier: Apache-2.0
// The program at the edges of its port and its folders: one update per port,
// the causes shown under the messages, someone's terminal refused.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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

class PortEdgeTest : public ProgramDirTest {
  protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        // No shared lock file: the port's own lock is what these runs meet.
        unsetenv("ZELVAR_LOCK_FILE");
        ASSERT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0);
    }
    void TearDown() override {
        close(slave_);
        close(master_);
        ProgramDirTest::TearDown();
    }
    std::string Zelvar(const std::string& args) const {
        return std::string(ZELVAR_BIN) + " --no-wait " + args;
    }
    // The command as the user nobody runs it: the build tree may lie where
    // nobody cannot reach (a checkout under /root), so the program is copied
    // to a folder of the test's that nobody may enter.
    std::string ZelvarAsNobody(const std::string& env, const std::string& args) {
        const fs::path bin = dir_ / "bin";
        if (!fs::exists(bin / "zelvar")) {
            fs::create_directory(bin);
            fs::copy_file(ZELVAR_BIN, bin / "zelvar");
            fs::permissions(bin,
                            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
            fs::permissions(bin / "zelvar", fs::perms::owner_all | fs::perms::group_exec |
                                                fs::perms::others_exec | fs::perms::group_read |
                                                fs::perms::others_read);
        }
        fs::permissions(dir_, fs::perms::others_exec, fs::perm_options::add);
        return "setpriv --reuid=65534 --regid=65534 --clear-groups " + env +
               (bin / "zelvar").string() + " --no-wait " + args;
    }
    // Starts a simulated receiver for one update on a new link.
    pid_t StartReceiver(const fs::path& link, const fs::path& dump) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(RECEIVER_BIN, RECEIVER_BIN, "--once", "--link", link.c_str(), "--flash-dump",
                  dump.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !fs::exists(link); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return pid;
    }
    // Waits a few seconds for a receiver to end on its own, then ends it.
    static void StopReceiver(pid_t pid) {
        for (int i = 0; i < 250 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }

    int master_ = -1, slave_ = -1;
    char name_[128] = {};
};

// After the message the user always got, one line says what the system
// refused and why.
TEST_F(PortEdgeTest, CauseFollowsTheMessage) {
    const fs::path missing = dir_ / "no-such-tty";
    const fs::path closed = dir_ / "closed-tty";
    const fs::path nobodyRuntime = dir_ / "nobody";
    const fs::path open = dir_ / "open";
    fs::create_directory(nobodyRuntime);
    fs::create_directory(open);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(open, fs::perms::all);
    { std::ofstream(closed) << ""; }
    fs::permissions(closed, fs::perms::none);
    // Root may open anything: the permission case runs as nobody.
    std::string noPermission = Zelvar("--port " + closed.string());
    if (geteuid() == 0) {
        ASSERT_EQ(chown(nobodyRuntime.c_str(), 65534, 65534), 0);
        fs::permissions(nobodyRuntime, fs::perms::owner_all);
        noPermission = ZelvarAsNobody("env XDG_RUNTIME_DIR=" + nobodyRuntime.string() + " ",
                                      "--port " + closed.string());
    }
    ASSERT_EQ(ioctl(slave_, TIOCEXCL), 0);

    struct Case {
        const char* name;
        std::string command;
        int status;
        const char* message;
        std::string cause;
    };
    const Case cases[] = {
        {"missing device", Zelvar("--port " + missing.string()), 2,
         "[Fail] Please close the GPS application !",
         "zelvar: " + missing.string() + ": No such file or directory"},
        {"directory", Zelvar("--port " + dir_.string()), 2,
         "[Fail] Please close the GPS application !",
         "zelvar: " + dir_.string() + ": Is a directory"},
        {"no permission", noPermission, 2, "[Fail] Please close the GPS application !",
         "zelvar: " + closed.string() + ": Permission denied"},
        {"held by another program", Zelvar(std::string("--port ") + name_), 2,
         "[Fail] Please close the GPS application !", "Device or resource busy"},
        {"bad GPIO chip", Zelvar("--port " + missing.string() + " --boot-pin nosuchchip:3"), 2,
         "GPIOOpen Fail!", "zelvar: GPIO chip 'nosuchchip' (for line 3): "},
        {"temporary folder others can write",
         "XDG_RUNTIME_DIR=" + open.string() + " " + Zelvar("--simulate"), 2,
         "[Fail] Firmware doesn't exist!",
         "zelvar: temporary folder " + open.string() + " is writable by others and not sticky"},
        {"lock file that cannot be opened",
         "ZELVAR_LOCK_FILE=" + missing.string() + "/lock " + Zelvar("--simulate"), 2, "",
         "zelvar: lock file " + missing.string() + "/lock cannot be opened: No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult r = RunCommand(c.command);
        EXPECT_EQ(r.status, c.status) << r.output;
        const size_t message = r.output.find(c.message);
        const size_t cause = r.output.find(c.cause);
        ASSERT_NE(message, std::string::npos) << r.output;
        ASSERT_NE(cause, std::string::npos) << r.output;
        if (c.message[0] != '\0') {
            EXPECT_LT(message, cause) << r.output;
        }
        EXPECT_EQ(r.output.find("already running"), std::string::npos) << r.output;
    }
    ASSERT_EQ(ioctl(slave_, TIOCNXCL), 0);
}

// A second zelvar on a port in use is refused before any board step: nothing
// reaches the line, and it says why. Also for a user whom the first one's
// exclusive mode keeps from opening the port at all. Another program that
// holds the port is named, not taken for a zelvar.
TEST_F(PortEdgeTest, SecondUpdateOnTheSamePortIsRefused) {
    struct Case {
        const char* holderName;  // the name the holding process runs under
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"zelvar",
         {"zelvar is already running.",
          std::string("zelvar: ") + name_ + " is locked by another zelvar"}},
        {"gpsd-like", {"another program (gpsd-like, process ", std::string("holds ") + name_}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holderName);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            const int held = open(name_, O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (held < 0 || flock(held, LOCK_EX | LOCK_NB) != 0) _exit(1);
            prctl(PR_SET_NAME, c.holderName);
            (void)!write(ready[1], "x", 1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char x = 0;
        ASSERT_EQ(read(ready[0], &x, 1), 1);
        close(ready[0]);
        std::vector<std::string> commands = {Zelvar(std::string("--port ") + name_)};
        if (geteuid() == 0) {
            ASSERT_EQ(chmod(name_, 0666), 0);
            ASSERT_EQ(ioctl(slave_, TIOCEXCL), 0);
            commands.push_back(ZelvarAsNobody("", std::string("--port ") + name_));
        }
        for (const std::string& command : commands) {
            SCOPED_TRACE(command);
            const CommandResult r = RunCommand(command);
            EXPECT_EQ(r.status, 2) << r.output;
            for (const std::string& text : c.says) {
                EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
            }
            if (std::string(c.holderName) != "zelvar") {
                EXPECT_EQ(r.output.find("already running"), std::string::npos) << r.output;
            }
            EXPECT_EQ(r.output.find("progress"), std::string::npos) << r.output;
            pollfd pfd{master_, POLLIN, 0};
            EXPECT_EQ(poll(&pfd, 1, 0), 0);  // not one byte on the wire
        }
        ioctl(slave_, TIOCNXCL);
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
}

// Two receivers on two ports are updated at the same time, and simulated
// runs share no lock.
TEST_F(PortEdgeTest, DifferentPortsAndSimulationsRunSideBySide) {
    const fs::path links[2] = {dir_ / "ttyA", dir_ / "ttyB"};
    const fs::path dumps[2] = {dir_ / "flashA.bin", dir_ / "flashB.bin"};
    const pid_t peers[2] = {StartReceiver(links[0], dumps[0]), StartReceiver(links[1], dumps[1])};
    ASSERT_GT(peers[0], 0);
    ASSERT_GT(peers[1], 0);
    CommandResult results[4];
    {
        std::thread a([&] { results[0] = RunCommand(Zelvar("--port " + links[0].string())); });
        std::thread b([&] { results[1] = RunCommand(Zelvar("--port " + links[1].string())); });
        std::thread c([&] { results[2] = RunCommand(Zelvar("--simulate")); });
        std::thread d([&] { results[3] = RunCommand(Zelvar("--simulate")); });
        a.join();
        b.join();
        c.join();
        d.join();
    }
    StopReceiver(peers[0]);
    StopReceiver(peers[1]);
    for (const CommandResult& r : results) {
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("[Done] Download Finish"), std::string::npos) << r.output;
    }
    EXPECT_TRUE(StartsWithImage(ReadAll(dumps[0])));
    EXPECT_TRUE(StartsWithImage(ReadAll(dumps[1])));
}

// Pointed at its own terminal, the program does not take it: no frames on
// it, its echo stays on, and the user is told why.
TEST_F(PortEdgeTest, OwnTerminalIsNotTakenForTheReceiversLine) {
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(ZELVAR_BIN, ZELVAR_BIN, "--no-wait", "--port", "/dev/tty",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{terminal, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO: the program ended and closed its side
        seen.append(buffer, static_cast<size_t>(n));
    }
    termios t{};
    const bool gotSettings = tcgetattr(terminal, &t) == 0;
    int raw = 0;
    ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    close(terminal);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 2) << seen;
    EXPECT_NE(seen.find("[Fail] Please close the GPS application !"), std::string::npos) << seen;
    EXPECT_NE(seen.find("zelvar: /dev/tty is a terminal in use"), std::string::npos) << seen;
    // Only text: a boot frame would bring control bytes.
    const auto binary = std::find_if(seen.begin(), seen.end(), [](char c) {
        return c != '\r' && c != '\n' && (c < ' ' || c >= 0x7F);
    });
    EXPECT_EQ(binary, seen.end()) << "byte " << (binary - seen.begin()) << " of " << seen.size();
    if (gotSettings) {
        EXPECT_NE(t.c_lflag & ECHO, 0u);
    }
}

}  // namespace
