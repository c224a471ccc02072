// SPDX-License-Identifier: Apache-2.0
// A serial port the user may not open: the recorded cause names the device's
// group and how to join it.
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace {

TEST(SerialAccess, TheCauseSaysWhichGroupToJoin) {
    const struct {
        const char* group;
        unsigned mode;
        PosixGroupMembership membership;
        const char* text;
    } cases[] = {
        {"dialout", S_IFCHR | 0660, POSIX_NOT_IN_GROUP,
         "/dev/ttyUSB0: Permission denied; it is for group dialout, which this user is not in "
         "(join it: sudo usermod -aG dialout $USER, then log in again)"},
        {"uucp", S_IFCHR | 0666, POSIX_NOT_IN_GROUP,
         "/dev/ttyUSB0: Permission denied; it is for group uucp, which this user is not in "
         "(join it: sudo usermod -aG uucp $USER, then log in again)"},
        {"dialout", S_IFCHR | 0660, POSIX_JOINED_AFTER_LOGIN,
         "/dev/ttyUSB0: Permission denied; it is for group dialout, which this user joined after "
         "logging in (log in again)"},
        // In the group already: the mode is not what refuses it.
        {"dialout", S_IFCHR | 0660, POSIX_IN_GROUP,
         "/dev/ttyUSB0: Permission denied (group dialout, mode 0660)"},
        // Joining would not help where the group may not read and write.
        {"root", S_IFCHR | 0600, POSIX_NOT_IN_GROUP,
         "/dev/ttyUSB0: Permission denied (group root, mode 0600, not open to its group)"},
        {"dialout", S_IFCHR | 0640, POSIX_NOT_IN_GROUP,
         "/dev/ttyUSB0: Permission denied (group dialout, mode 0640, not open to its group)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PosixPortAccessText("/dev/ttyUSB0", c.group, c.mode, c.membership), c.text);
    }
}

// The open itself: a file the user may not open, refused with EACCES, leaves
// the group's name and the advice as the cause. Root may open anything, so
// as root the open runs as nobody in a child process.
TEST(SerialAccess, RefusedOpenRecordsTheGroup) {
    const std::string path = ::testing::TempDir() + "zelvar_serial_denied";
    const bool root = geteuid() == 0;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    // As root: group root may use it, nobody is not in it. Otherwise: the
    // user's own file with no permission at all.
    ASSERT_EQ(chmod(path.c_str(), root ? 0660 : 0000), 0);
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    }
    const std::string expected =
        root ? path +
                   ": Permission denied; it is for group root, which this user is not in "
                   "(join it: sudo usermod -aG root $USER, then log in again)"
             : path + ": Permission denied (group ";
    EXPECT_EXIT(
        {
            if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
                std::_Exit(3);
            }
            PlatformCauseClear();
            if (PosixSerialOps().open(path.c_str(), 115200) != 0) std::_Exit(4);
            const std::string cause = PlatformCauseText();
            const bool named = root ? cause == expected
                                    : cause.rfind(expected, 0) == 0 &&
                                          cause.find("not open to its group") != std::string::npos;
            std::_Exit(named && PlatformCauseError() == 0 && PosixSerialLastError() == EACCES ? 0
                                                                                              : 5);
        },
        testing::ExitedWithCode(0), "");
    unlink(path.c_str());
}

}  // namespace

namespace {

// A pseudo-terminal pair; the other side stays open, as a receiver's would.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

}  // namespace

TEST(SerialAccess, AnExclusiveFlagLeftByAProgramThatDiedIsToldApartAndClearedByRoot) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    // What a killed zelvar leaves: the flag set, no descriptor open.
    const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    close(fd);
    PlatformCauseClear();
    const int opened = PosixSerialOps().open(pty.slave.c_str(), 115200);
    if (geteuid() == 0) {
        // Root gets in past the flag, sees no holder and clears it.
        ASSERT_EQ(opened, 1) << PlatformCauseText();
        PosixSerialOps().close();
        const int again = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
        int exclusive = 1;
        ASSERT_EQ(ioctl(again, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        close(again);
    } else {
        EXPECT_EQ(opened, 0);
        EXPECT_NE(std::string(PlatformCauseText()).find("exclusive-use flag"), std::string::npos)
            << PlatformCauseText();
    }
}

TEST(SerialAccess, AnExclusiveFlagSomeoneHoldsIsStillRefused) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const int holder = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(PosixSerialOps().open(pty.slave.c_str(), 115200), 0);
    EXPECT_EQ(std::string(PlatformCauseText()).find("exclusive-use flag"), std::string::npos);
    ioctl(holder, TIOCNXCL);
    close(holder);
}

TEST(SerialAccess, APseudoTerminalRefusesToDriveItsModemLines) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    ASSERT_EQ(PosixSerialOps().open(pty.slave.c_str(), 38400), 1) << PlatformCauseText();
    ASSERT_NE(PosixSerialOps().setLines, nullptr);
    EXPECT_EQ(PosixSerialOps().setLines(SERIAL_LINE_DTR, 0), 0);
    PosixSerialOps().close();
}
