// SPDX-License-Identifier: Apache-2.0
#include "receiver/pty/pty_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct RateRow {
    speed_t code;
    uint32_t baud;
};

const RateRow Rates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr double IDLE_POLL_MS = 50;
// Bytes the receiver may have waiting for a host that does not read: a few
// dozen of the largest answers. What comes beyond is lost, as from a UART
// whose transmitter nobody drains, and memory stays bounded.
constexpr size_t MAX_QUEUED_BYTES = 64 * 1024;
// With no host on the line the master reports hang-up at once; look again
// this often for one to open it.
constexpr double HANGUP_POLL_MS = 10;
// Data bytes of one full USB packet from an FTDI-style adapter (64 bytes, two
// of them its status): a full packet goes at once, the rest waits for the
// latency timer.
constexpr size_t ADAPTER_PACKET_BYTES = 62;

timespec ToTimespec(double ms) {
    const auto ns = static_cast<int64_t>(ms * 1e6);
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

struct PtyReceiver::Impl {
    int master = -1;
    int wake[2] = {-1, -1};
    std::string slave;
    std::unique_ptr<Receiver> receiver;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    std::atomic<bool> stop{false};
    // Times are milliseconds since the start, with their fraction: answers
    // leave when the receiver says, not on the next whole millisecond, which
    // over some 500 exchanges of an update would add up to a good part of a
    // second.
    struct Pending {
        double due;
        std::vector<uint8_t> bytes;
    };
    std::deque<Pending> pending;
    size_t queuedBytes = 0;
    double inputMs = 0;
    LineTiming timing;
    double lastOutMs = -1;  // when the last pending bytes left; -1 once the host answered
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

    double Now() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - epoch)
            .count();
    }

    // The rate the host set on its side: the pair shares one set of settings.
    uint32_t HostBaud() const {
        termios t{};
        if (tcgetattr(master, &t) != 0) return 0;
        const speed_t code = cfgetospeed(&t);
        for (const RateRow& row : Rates) {
            if (row.code == code) return row.baud;
        }
        return 0;
    }

    // Writes what is due (everything when all is set); called with the
    // mutex held.
    void Flush(bool all = false) {
        const double now = Now();
        while (!pending.empty() && (all || pending.front().due <= now)) {
            std::vector<uint8_t>& bytes = pending.front().bytes;
            const ssize_t n = write(master, bytes.data(), bytes.size());
            if (n < 0 && errno == EAGAIN) return;  // the line is full: later
            if (n > 0 && static_cast<size_t>(n) < bytes.size()) {
                bytes.erase(bytes.begin(), bytes.begin() + n);
                queuedBytes -= static_cast<size_t>(n);
                return;
            }
            queuedBytes -= bytes.size();
            // Written whole, or nobody there to take it.
            const double late = now - pending.front().due;
            ++timing.writes;
            timing.lateMs += late;
            timing.maxLateMs = std::max(timing.maxLateMs, late);
            pending.pop_front();
            if (pending.empty()) lastOutMs = Now();
        }
    }

    double NextTimeout() {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending.empty()) return IDLE_POLL_MS;
        return std::clamp(pending.front().due - Now(), 0.0, IDLE_POLL_MS);
    }

    void Run() {
        // The thread plays the receiver's hardware: wake when its bytes are
        // due, without the default 50 us of timer slack.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::vector<uint8_t> buffer(4096);
        bool hangup = false;
        while (!stop.load()) {
            double timeout = NextTimeout();
            if (hangup) timeout = std::min(timeout, HANGUP_POLL_MS);
            pollfd fds[2] = {{hangup ? -1 : master, POLLIN, 0}, {wake[0], POLLIN, 0}};
            const timespec wait = ToTimespec(timeout);
            const int ready = ppoll(fds, 2, &wait, nullptr);
            if (ready < 0 && errno != EINTR) break;
            if ((fds[1].revents & POLLIN) != 0) {
                char drain[16];
                while (read(wake[0], drain, sizeof drain) > 0) {
                }
            }
            hangup = false;
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = read(master, buffer.data(), buffer.size());
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    inputMs = Now();
                    if (pending.empty() && lastOutMs >= 0) {
                        ++timing.turns;
                        timing.turnMs += inputMs - lastOutMs;
                    }
                    lastOutMs = -1;
                    receiver->InputAt(buffer.data(), static_cast<size_t>(n), inputMs, HostBaud());
                    changed.notify_all();
                } else if (n < 0 && errno == EIO) {
                    hangup = true;
                }
            } else if ((fds[0].revents & POLLHUP) != 0) {
                hangup = true;
            }
            std::lock_guard<std::mutex> lock(mutex);
            // A talking firmware's next sentences, due within the next wait.
            inputMs = Now();
            receiver->Advance(inputMs, inputMs + IDLE_POLL_MS);
            Flush();
        }
    }

    // The receiver's UART was reset: what it had not sent is lost. Called
    // with the mutex held.
    void DropUnsent() {
        const double now = Now();
        while (!pending.empty() && pending.back().due > now) {
            queuedBytes -= pending.back().bytes.size();
            pending.pop_back();
        }
    }

    // Runs a change of the receiver's stage at the present time.
    void Reset(const std::function<void(Receiver&)>& change) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!receiver) return;
        inputMs = Now();
        receiver->Advance(inputMs, inputMs);
        const ReceiverStage before = receiver->Stage();
        change(*receiver);
        if (receiver->Stage() != before) DropUnsent();
    }

    void Close() {
        for (int* fd : {&master, &wake[0], &wake[1]}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }
};

PtyReceiver::PtyReceiver() : impl_(std::make_unique<Impl>()) {}

PtyReceiver::~PtyReceiver() {
    Stop();
}

bool PtyReceiver::Start(const ReceiverConfig& config, std::string* error) {
    Impl& m = *impl_;
    if (m.thread.joinable()) {
        if (error) *error = "already started";
        return false;
    }
    ReceiverConfig ptyConfig = config;
    ptyConfig.lineRateAmbiguous = true;
    m.receiver = std::make_unique<Receiver>(ptyConfig);
    if (!m.receiver->Ok()) {
        if (error) *error = m.receiver->Error();
        return false;
    }
    m.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (m.master < 0 || grantpt(m.master) != 0 || unlockpt(m.master) != 0 ||
        ptsname_r(m.master, name, sizeof name) != 0) {
        if (error) *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        m.Close();
        return false;
    }
    m.slave = name;
    // Raw at the boot ROM's rate until a host sets its own.
    termios t{};
    if (tcgetattr(m.master, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B38400);
        cfsetospeed(&t, B38400);
        tcsetattr(m.master, TCSANOW, &t);
    }
    if (pipe2(m.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        m.Close();
        return false;
    }
    Impl* impl = &m;
    const double latencyMs = config.adapterLatencyMs;
    m.receiver->SetOutputAt([impl, latencyMs](const uint8_t* data, size_t count, double delayMs) {
        if (impl->queuedBytes + count > MAX_QUEUED_BYTES) {
            impl->timing.droppedBytes += count;
            return;
        }
        impl->queuedBytes += count;
        const double due = impl->inputMs + delayMs;
        if (latencyMs <= 0) {
            impl->pending.push_back(Impl::Pending{due, std::vector<uint8_t>(data, data + count)});
            return;
        }
        // The adapter's timer runs on its own: what is short of a full packet
        // leaves at its next tick.
        const size_t whole = count / ADAPTER_PACKET_BYTES * ADAPTER_PACKET_BYTES;
        if (whole > 0) {
            impl->pending.push_back(Impl::Pending{due, std::vector<uint8_t>(data, data + whole)});
        }
        if (count > whole) {
            const double tick = std::ceil(due / latencyMs) * latencyMs;
            impl->pending.push_back(
                Impl::Pending{tick, std::vector<uint8_t>(data + whole, data + count)});
        }
    });
    m.stop = false;
    m.thread = std::thread([impl] { impl->Run(); });
    return true;
}

const std::string& PtyReceiver::SlavePath() const {
    return impl_->slave;
}

void PtyReceiver::EnterBootRom() {
    impl_->Reset([](Receiver& r) { r.EnterBootRom(); });
}

void PtyReceiver::RunFirmware() {
    impl_->Reset([](Receiver& r) { r.RunFirmware(); });
}

void PtyReceiver::SetInputs(bool reset, bool bootSelect) {
    impl_->Reset([reset, bootSelect](Receiver& r) {
        r.SetBootSelectInput(bootSelect);
        r.SetResetInput(reset);
    });
}

ReceiverStage PtyReceiver::Stage() {
    ReceiverStage stage = ReceiverStage::BootRom;
    WithReceiver([&stage](Receiver& r) { stage = r.Stage(); });
    return stage;
}

std::vector<uint8_t> PtyReceiver::Flash() {
    std::vector<uint8_t> copy;
    WithReceiver([&copy](Receiver& r) { copy = r.Flash(); });
    return copy;
}

uint32_t PtyReceiver::Disconnects() {
    uint32_t count = 0;
    WithReceiver([&count](Receiver& r) { count = r.Counters().disconnects; });
    return count;
}

bool PtyReceiver::WaitForDisconnects(uint32_t count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (!impl_->receiver) return false;
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this, count] {
        return impl_->receiver->Counters().disconnects >= count;
    });
}

size_t PtyReceiver::QueuedBytes() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->queuedBytes;
}

PtyReceiver::LineTiming PtyReceiver::Timing() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->timing;
}

void PtyReceiver::WithReceiver(const std::function<void(Receiver&)>& fn) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->receiver) fn(*impl_->receiver);
}

void PtyReceiver::Stop() {
    Impl& m = *impl_;
    if (m.thread.joinable()) {
        m.stop = true;
        const char byte = 1;
        if (write(m.wake[1], &byte, 1) < 0) {
            // The thread notices the flag within its poll interval anyway.
        }
        m.thread.join();
        // Answers already decided still go out (the last one of a session
        // may be due a moment after the disconnect was counted).
        std::lock_guard<std::mutex> lock(m.mutex);
        m.Flush(true);
    }
    m.Close();
}
