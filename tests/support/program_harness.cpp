// SPDX-License-Identifier: Apache-2.0
#include "tests/support/program_harness.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "image/image.h"
#include "payloads/payloads.h"

void ProgramDirTest::SetUp() {
    char pattern[] = "/tmp/zelvar-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("ZELVAR_LOCK_FILE", (dir_ / "zelvar.lock").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
}

void ProgramDirTest::TearDown() {
    std::filesystem::remove_all(dir_);
}

CommandResult RunCommand(const std::string& command) {
    CommandResult result{-1, {}};
    FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> FirmwareImage() {
    std::vector<uint8_t> image(FirmwareSRecordTextLength);
    image.resize(ParseSRecords(reinterpret_cast<const char*>(FirmwareSRecordText),
                               FirmwareSRecordTextLength, image.data()));
    return image;
}

bool StartsWithImage(const std::vector<uint8_t>& flash) {
    const std::vector<uint8_t> image = FirmwareImage();
    return image.size() == 482008 && flash.size() >= image.size() &&
           std::equal(image.begin(), image.end(), flash.begin());
}

struct Child::Shared {
    int fd = -1;
    std::mutex mutex;
    std::condition_variable grew;
    std::string output;
    bool closed = false;
    std::thread reader;
};

Child::Child(const std::vector<std::string>& argv, bool terminal) : shared_(new Shared) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (terminal) {
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execv(args[0], args.data());
            _exit(127);
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        shared_->fd = master;
    } else {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        shared_->fd = out[0];
    }
    Shared* shared = shared_;
    shared_->reader = std::thread([shared] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(shared->fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            const std::lock_guard<std::mutex> lock(shared->mutex);
            if (n <= 0) {
                shared->closed = true;  // a pty's master reads EIO once the child is gone
                shared->grew.notify_all();
                return;
            }
            shared->output.append(buffer, static_cast<size_t>(n));
            shared->grew.notify_all();
        }
    });
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (shared_->reader.joinable()) shared_->reader.join();
    if (shared_->fd >= 0) close(shared_->fd);
    delete shared_;
}

bool Child::WaitFor(const std::string& text, int milliseconds) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->grew.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        return shared_->output.find(text) != std::string::npos || shared_->closed;
    }) && shared_->output.find(text) != std::string::npos;
}

void Child::Signal(int signal) const {
    if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

int Child::Wait(int milliseconds) {
    if (reaped_) return status_;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int raw = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &raw, 0);
            reaped_ = true;
            return status_ = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reaped_ = true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return status_;
}

std::string Child::Output() const {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->output;
}
