// SPDX-License-Identifier: Apache-2.0
// Who holds the lock on a port: the kernel's list of flocks, read for the pid
// and the holder's command name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix.h"

namespace {

// A child named `name` that takes a flock on path and keeps it until its
// pipe is closed.
class LockingChild {
  public:
    LockingChild(const std::string& path, const char* name) {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            prctl(PR_SET_NAME, name);
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
            const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &ok, 1);
            char byte;
            (void)!read(release[0], &byte, 1);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char ok = 'n';
        locked_ = read(ready[0], &ok, 1) == 1 && ok == 'y';
        close(ready[0]);
    }
    ~LockingChild() { Release(); }
    void Release() {
        if (release_ >= 0) close(release_);
        release_ = -1;
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t Pid() const { return pid_; }
    bool Locked() const { return locked_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

TEST(PortLockHolder, NamesTheProcessThatHoldsTheLock) {
    const std::string path = ::testing::TempDir() + "zelvar_lock_holder";
    for (const char* name : {"minicom", "zelvar"}) {
        SCOPED_TRACE(name);
        LockingChild child(path, name);
        ASSERT_TRUE(child.Locked());
        int pid = 0;
        std::string holder;
        ASSERT_TRUE(PosixLockHolder(path.c_str(), &pid, &holder));
        EXPECT_EQ(pid, child.Pid());
        EXPECT_EQ(holder, name);
        // Once it lets go, no one holds it.
        child.Release();
        EXPECT_FALSE(PosixLockHolder(path.c_str(), &pid, &holder));
    }
    unlink(path.c_str());
}

TEST(PortLockHolder, NoHolderForAFileNoOneLocksOrThatIsNotThere) {
    const std::string locked = ::testing::TempDir() + "zelvar_lock_other";
    const std::string free = ::testing::TempDir() + "zelvar_lock_free";
    const int fd = open(free.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    // A lock on another file is not this file's.
    LockingChild child(locked, "holder");
    ASSERT_TRUE(child.Locked());
    int pid = 0;
    std::string name;
    EXPECT_FALSE(PosixLockHolder(free.c_str(), &pid, &name));
    EXPECT_FALSE(PosixLockHolder("/nonexistent/zelvar-port", &pid, &name));
    close(fd);
    child.Release();
    unlink(free.c_str());
    unlink(locked.c_str());
}

}  // namespace
