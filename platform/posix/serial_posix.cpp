// SPDX-License-Identifier: Apache-2.0
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/baud_linux.h"
#include "platform/posix/posix.h"

namespace {

struct PortState {
    int fd = -1;
    termios saved{};
    int savedModem = 0;
    bool hasModem = false;
    termios working{};
};

PortState Port;
int LastError = 0;
std::string DeviceName;

// What the restore needs, readable from a signal handler: the descriptor is
// published only after the saved settings are in place, and taken back with
// an exchange so that the restore runs once.
std::atomic<int> RestoreFd{-1};
termios RestoreSettings{};
int RestoreModem = 0;
bool RestoreHasModem = false;
#if defined(__linux__)
// The driver's serial flags as found, put back when we changed them.
serial_struct RestoreSerial{};
bool RestoreSerialFlags = false;
#endif
static_assert(std::atomic<int>::is_always_lock_free);

struct RateRow {
    uint32_t baud;
    speed_t code;
};

const RateRow Rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t* code) {
    for (const RateRow& row : Rates) {
        if (row.baud == baud) {
            *code = row.code;
            return true;
        }
    }
    return false;
}

int Fail() {
    LastError = errno;
    PlatformCauseSet(LastError, "%s", DeviceName.c_str());
    return 0;
}

int Refuse(int fd, int error, const char* why) {
    LastError = error;
    PlatformCauseSet(error, "%s %s", DeviceName.c_str(), why);
    close(fd);
    return 0;
}

// Waits until every byte written has left the line, so that nothing goes out
// at a rate the other end no longer listens at.
void Drain(int fd) {
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}

// Applies the working settings and checks that the device took the rate:
// tcsetattr succeeds when any part of the request was applied.
int Apply(speed_t code) {
    Drain(Port.fd);
    if (tcsetattr(Port.fd, TCSANOW, &Port.working) != 0) return Fail();
    termios now{};
    if (tcgetattr(Port.fd, &now) != 0) return Fail();
    if (cfgetospeed(&now) != code || cfgetispeed(&now) != code) {
        LastError = EINVAL;
        return 0;
    }
    return 1;
}

// Another's terminal is no receiver's line: the controlling terminal of any
// session (ours among them, also as /dev/tty) or the terminal of our own
// standard streams.
bool SomeonesTerminal(int fd) {
    if (tcgetsid(fd) != -1) return true;
    struct stat port {};
    if (fstat(fd, &port) != 0) return false;
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat st {};
        if (isatty(stream) && fstat(stream, &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

// Whether any process but this one (and this one through another descriptor
// than skipFd) has the device of st_rdev open, from /proc/PID/fd, or holds
// a flock on it. A process whose descriptors cannot be read counts as a
// holder: the flag is only called stale when no one can be holding it.
bool SomeoneHolds(const char* deviceName, dev_t rdev, int skipFd) {
    int pid = 0;
    std::string name;
    if (PosixLockHolder(deviceName, &pid, &name) && pid != getpid()) return true;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return true;
    const std::string self = std::to_string(getpid());
    bool held = false;
    while (!held) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (dir == nullptr) {
            // Gone meanwhile is fine; hidden from us is not.
            if (errno != ENOENT) held = true;
            continue;
        }
        const bool isSelf = self == entry->d_name;
        for (const dirent* fd = readdir(dir); fd != nullptr && !held; fd = readdir(dir)) {
            if (fd->d_name[0] < '0' || fd->d_name[0] > '9') continue;
            if (isSelf && std::atoi(fd->d_name) == skipFd) continue;
            struct stat st {};
            const std::string path = fds + "/" + fd->d_name;
            if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                held = true;
            }
        }
        closedir(dir);
    }
    closedir(proc);
    return held;
}

// The exclusive-use flag lives in the kernel's terminal, not in a process: a
// program killed before it cleared it leaves it set while the terminal exists
// (a pseudo-terminal's other side is still open, an adapter still plugged).
int RefuseStaleExclusive() {
    LastError = EBUSY;
    PlatformCauseSet(EBUSY,
                     "the exclusive-use flag of %s was left set by a program that ended without "
                     "clearing it; no program holds the port. Run zelvar once as root to clear "
                     "it, or unplug the adapter (restart the program that made a pseudo-terminal)",
                     DeviceName.c_str());
    return 0;
}

// Where this user stands with group gid: in it now, joined in the group
// database since this session began, or not at all.
PosixGroupMembership Membership(gid_t gid) {
    if (getegid() == gid) return POSIX_IN_GROUP;
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) {
            if (groups[static_cast<size_t>(i)] == gid) return POSIX_IN_GROUP;
        }
    }
    const passwd* user = getpwuid(getuid());
    const group* entry = getgrgid(gid);
    if (user == nullptr || entry == nullptr) return POSIX_NOT_IN_GROUP;
    if (user->pw_gid == gid) return POSIX_JOINED_AFTER_LOGIN;
    for (char** member = entry->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0) return POSIX_JOINED_AFTER_LOGIN;
    }
    return POSIX_NOT_IN_GROUP;
}

// Refused for permission: say who may use the device and how to become one.
int FailAccess(const char* deviceName) {
    LastError = EACCES;
    struct stat st {};
    if (stat(deviceName, &st) != 0) return Fail();
    const PosixGroupMembership membership = Membership(st.st_gid);
    const group* entry = getgrgid(st.st_gid);
    const std::string name =
        entry != nullptr ? entry->gr_name : std::to_string(static_cast<unsigned>(st.st_gid));
    const std::string text = PosixPortAccessText(deviceName, name.c_str(),
                                                 static_cast<unsigned>(st.st_mode), membership);
    // The text carries the error's words itself, with the advice after them.
    PlatformCauseSet(0, "%s", text.c_str());
    return 0;
}

// A USB serial adapter holds received bytes back until its latency timer
// fires; the driver's low-latency mode lets them through sooner. Ports that
// have no such mode (a pseudo-terminal answers ENOTTY or EINVAL) are used as
// they are, and so is one that refuses the change.
void AskLowLatency(int fd) {
#if defined(__linux__)
    RestoreSerialFlags = false;
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
    RestoreSerial = serial;
    serial.flags |= ASYNC_LOW_LATENCY;
    RestoreSerialFlags = ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
#endif
}

void RestoreAtExit() {
    PosixSerialRestoreNow();
}

int Open(const char* deviceName, uint32_t baud) {
    LastError = 0;
    DeviceName = deviceName != nullptr ? deviceName : "";
    speed_t code{};
    if (!SpeedCode(baud, &code)) {
        LastError = EINVAL;
        PlatformCauseSet(EINVAL, "%s: no such rate as %u", DeviceName.c_str(),
                         static_cast<unsigned>(baud));
        return 0;
    }
    // Not as a controlling terminal; non-blocking only until the lock is held.
    const int fd = open(deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES) return FailAccess(deviceName);
        struct stat st {};
        if (errno == EBUSY && stat(deviceName, &st) == 0 && S_ISCHR(st.st_mode) &&
            !SomeoneHolds(deviceName, st.st_rdev, -1)) {
            return RefuseStaleExclusive();
        }
        return Fail();
    }
    if (!isatty(fd)) return Refuse(fd, ENOTTY, "is not a serial line");
    if (SomeonesTerminal(fd)) return Refuse(fd, 0, "is a terminal in use, not a receiver's line");
    // Another program holding the line exclusively is refused also for root,
    // whom the kernel would let in. Root, let in past a flag that no one
    // holds any longer, clears it and goes on.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        struct stat st {};
        const bool stale = fstat(fd, &st) == 0 && !SomeoneHolds(deviceName, st.st_rdev, fd);
        if (!stale || ioctl(fd, TIOCNXCL) != 0) {
            return Refuse(fd, EBUSY, "is held exclusively by another program");
        }
    }
    // Exclusive: a second opener of the line is refused (the port lock, when
    // this process holds it, already covers the flock).
    if (!PosixPortLockCovers(fd) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return Refuse(fd, errno, "is locked by another program");
    }
    if (ioctl(fd, TIOCEXCL) != 0) return Refuse(fd, errno, "cannot be had exclusively");
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ioctl(fd, TIOCNXCL);
        return Refuse(fd, error, "cannot be set to blocking");
    }
    Port = PortState{};
    Port.fd = fd;
    if (tcgetattr(fd, &Port.saved) != 0) return Fail();
    // A pseudo-terminal has no modem lines: it reports ENOTTY or EINVAL here,
    // and the line is then used without them.
    Port.hasModem = ioctl(fd, TIOCMGET, &Port.savedModem) == 0;
    // From here on, whatever way the program ends, the line is put back.
    RestoreSettings = Port.saved;
    RestoreModem = Port.savedModem;
    RestoreHasModem = Port.hasModem;
    AskLowLatency(fd);
    RestoreFd.store(fd);
    static const bool registered = std::atexit(RestoreAtExit) == 0;
    (void)registered;

    Port.working = Port.saved;
    cfmakeraw(&Port.working);
    Port.working.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    Port.working.c_cflag |= CS8 | CLOCAL | CREAD;
    Port.working.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads return at once; the time-outs are kept with poll().
    Port.working.c_cc[VMIN] = 0;
    Port.working.c_cc[VTIME] = 0;
    cfsetispeed(&Port.working, code);
    cfsetospeed(&Port.working, code);
    if (Apply(code) == 0) return 0;
    if (Port.hasModem) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (ioctl(fd, TIOCMBIS, &lines) != 0) return Fail();
    }
    if (tcflush(fd, TCIOFLUSH) != 0) return Fail();
    return 1;
}

int SetBaud(uint32_t baud) {
    speed_t code{};
    if (Port.fd < 0) {
        LastError = EBADF;
        return 0;
    }
    // B0 would hang the line up rather than set a rate.
    if (baud == 0) {
        LastError = EINVAL;
        return 0;
    }
    if (!SpeedCode(baud, &code)) {
        // No B-constant for this rate: set it by number where the system can.
        Drain(Port.fd);
        if (SetArbitraryBaud(Port.fd, baud) != 1) return Fail();
        return 1;
    }
    cfsetispeed(&Port.working, code);
    cfsetospeed(&Port.working, code);
    return Apply(code);
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Read(uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (Port.fd < 0) {
        LastError = EBADF;
        return 0;
    }
    const int64_t totalDeadline =
        NowMs() + SERIAL_READ_CONSTANT_MS + int64_t{SERIAL_READ_MULTIPLIER_MS} * length;
    int64_t intervalDeadline = totalDeadline;
    uint32_t got = 0;
    while (got < length) {
        const int64_t deadline =
            intervalDeadline < totalDeadline ? intervalDeadline : totalDeadline;
        const int64_t wait = deadline - NowMs();
        if (wait <= 0) break;
        pollfd pfd{Port.fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        if (ready == 0) break;
        const ssize_t n = read(Port.fd, buffer + got, length - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            // A pseudo-terminal whose other side closed reports EIO: no more
            // bytes will come, which is a time-out for the caller.
            if (errno == EIO) break;
            return Fail();
        }
        if (n == 0) {
            // Hang-up with nothing buffered: wait out the time-out quietly.
            if ((pfd.revents & POLLHUP) != 0) break;
            continue;
        }
        got += static_cast<uint32_t>(n);
        intervalDeadline = NowMs() + SERIAL_READ_INTERVAL_MS;
    }
    *count = got;
    return 1;
}

int Write(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (Port.fd < 0) {
        LastError = EBADF;
        return 0;
    }
    ssize_t n;
    do {
        n = write(Port.fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail();
    *count = static_cast<uint32_t>(n);
    return 1;
}

void Close() {
    if (Port.fd < 0) return;
    PosixSerialRestoreNow();
    close(Port.fd);
    Port = PortState{};
}

// A pseudo-terminal has no modem lines: that is the refusal.
int SetLines(uint32_t which, uint32_t asserted) {
    if (Port.fd < 0 || !Port.hasModem) return 0;
    int up = 0, down = 0;
    for (const auto& [line, bit] :
         {std::pair{SERIAL_LINE_DTR, TIOCM_DTR}, std::pair{SERIAL_LINE_RTS, TIOCM_RTS}}) {
        if ((which & line) == 0) continue;
        ((asserted & line) != 0 ? up : down) |= bit;
    }
    if (up != 0 && ioctl(Port.fd, TIOCMBIS, &up) != 0) return Fail();
    if (down != 0 && ioctl(Port.fd, TIOCMBIC, &down) != 0) return Fail();
    return 1;
}

const SerialOps Table{Open, SetBaud, Read, Write, Close, SetLines};

}  // namespace

const SerialOps& PosixSerialOps() {
    return Table;
}
int PosixSerialLastError() {
    return LastError;
}
bool PosixSerialCanSetBaud(uint32_t baud) {
    speed_t code{};
    return SpeedCode(baud, &code) || (baud != 0 && ArbitraryBaudAvailable());
}
bool PosixSerialHasModemLines() {
    return Port.hasModem;
}

void PosixSerialRestoreNow() {
    const int fd = RestoreFd.exchange(-1);
    if (fd < 0) return;
    const int saved = errno;
    Drain(fd);
    tcsetattr(fd, TCSANOW, &RestoreSettings);
    if (RestoreHasModem) ioctl(fd, TIOCMSET, &RestoreModem);
#if defined(__linux__)
    if (RestoreSerialFlags) ioctl(fd, TIOCSSERIAL, &RestoreSerial);
    RestoreSerialFlags = false;
#endif
    ioctl(fd, TIOCNXCL);
    errno = saved;
}

std::string PosixPortAccessText(const char* device, const char* group, unsigned mode,
                                PosixGroupMembership membership) {
    // The device and the system's word first, as for any other refusal.
    const std::string denied = std::string(device) + ": " + std::strerror(EACCES);
    const std::string g(group);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
    const std::string shown = " (group " + g + ", mode " + octal;
    if ((mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        return denied + shown + ", not open to its group)";
    }
    switch (membership) {
        case POSIX_IN_GROUP:
            return denied + shown + ")";  // something other than the mode refuses it
        case POSIX_JOINED_AFTER_LOGIN:
            // The groups of a session are fixed when it starts.
            return denied + "; it is for group " + g +
                   ", which this user joined after logging in (log in again)";
        case POSIX_NOT_IN_GROUP:
            break;
    }
    return denied + "; it is for group " + g +
           ", which this user is not in (join it: sudo usermod -aG " + g +
           " $USER, then log in again)";
}
