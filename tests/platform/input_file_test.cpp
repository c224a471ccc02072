// SPDX-License-Identifier: Apache-2.0
// Reading a named firmware file and checking a back-up's target on a real
// file system: FIFOs, directories and devices refused at once with the
// reason, a huge sparse file refused from its size alone, errno in the words.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/input_file.h"

namespace fs = std::filesystem;

namespace {

class InputFileTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) /
               ("zelvar_input_" + std::to_string(getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const char* name, const std::string& content) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    fs::path dir_;
};

struct Read {
    bool ok;
    std::vector<uint8_t> bytes;
    std::string error;
};

Read ReadFile(const std::string& path, uint32_t maxBytes) {
    Read r{false, {1, 2, 3}, {}};
    r.ok = PosixReadInputFile(path.c_str(), maxBytes, &r.bytes, &r.error);
    return r;
}

TEST_F(InputFileTest, ReadsARegularFileUpToTheLimit) {
    const std::string content = std::string("S0\0\xff", 4) + std::string(70000, 'x');
    const auto size = static_cast<uint32_t>(content.size());
    const std::string path = Write("fw.s", content);
    fs::create_symlink(path, dir_ / "link.s");
    struct Case {
        std::string path;
        uint32_t limit;
        std::string content;
        const char* error;  // nullptr: read whole
    };
    const Case cases[] = {
        {path, size, content, nullptr},
        {(dir_ / "link.s").string(), size + 1, content, nullptr},  // a link to a file is read
        {path, size - 1, "", "more than the"},
        {Write("empty.s", ""), 0, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " limit " + std::to_string(c.limit));
        const Read r = ReadFile(c.path, c.limit);
        if (c.error == nullptr) {
            EXPECT_TRUE(r.ok) << r.error;
            EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), c.content);
        } else {
            EXPECT_FALSE(r.ok);
            EXPECT_TRUE(r.bytes.empty());
            EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
        }
    }
}

TEST_F(InputFileTest, RefusesWhatIsNotARegularFileWithTheReason) {
    const std::string fifo = (dir_ / "fw.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    struct Case {
        std::string path;
        std::string error;
    };
    const Case cases[] = {
        {fifo, "is a FIFO, not a regular file"},
        {dir_.string(), "is a directory, not a regular file"},
        {"/dev/null", "is a device, not a regular file"},
        {(dir_ / "missing.s").string(), std::string("cannot be opened: ") + std::strerror(ENOENT)},
        {Write("plain", "") + "/below", std::string("cannot be opened: ") + std::strerror(ENOTDIR)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // On its own thread, so that a read that waits for a writer fails the
        // test instead of hanging it; a writer is opened to free it then.
        std::promise<Read> done;
        std::future<Read> result = done.get_future();
        std::thread reader([&] { done.set_value(ReadFile(c.path, 1024)); });
        const bool returned = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (!returned) {
            const int writer = open(c.path.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) close(writer);
        }
        reader.join();
        ASSERT_TRUE(returned) << "the read blocked";
        const Read r = result.get();
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.bytes.empty());
        EXPECT_EQ(r.error, c.error);
    }
}

TEST_F(InputFileTest, RefusesAHugeSparseFileFromItsSizeAlone) {
    const std::string path = (dir_ / "huge.bin").string();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    // A terabyte of holes: reading it, or making room for it, would take
    // minutes or fail, so the bound below has room for any busy machine.
    ASSERT_EQ(ftruncate(fd, off_t{1} << 40), 0) << std::strerror(errno);
    close(fd);
    const auto start = std::chrono::steady_clock::now();
    const Read r = ReadFile(path, 16u << 20);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.ok);
    // The size from fstat, not a count of bytes read (that reason would be "grew past").
    EXPECT_EQ(r.error, "is 1099511627776 bytes, more than the 16777216 a firmware file can have");
    EXPECT_LT(spent, std::chrono::seconds(10));
}

TEST_F(InputFileTest, TellsWhetherAFileMayBeWrittenThere) {
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string existing = Write("old.s", "S9030000FC\n");
    fs::create_symlink(existing, dir_ / "link.s");
    const std::string plain = Write("plain", "");
    struct Case {
        std::string path;
        std::string reason;  // empty: may be written
        bool exists = false;
    };
    const Case cases[] = {
        {(dir_ / "new.s").string(), ""},
        {existing, "", true},
        {(dir_ / "link.s").string(), "is a symbolic link"},
        {dir_.string(), "is a directory, not a regular file"},
        {fifo, "is a FIFO, not a regular file"},
        {"/dev/null", "is a device, not a regular file"},
        {(dir_ / "none" / "new.s").string(),
         "its folder " + (dir_ / "none").string() + ": " + std::strerror(ENOENT)},
        {plain + "/new.s", "its folder " + plain + " is not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string reason = "unset";
        bool exists = !c.exists;
        const bool ok = PosixCheckOutputTarget(c.path, &reason, &exists);
        EXPECT_EQ(ok, c.reason.empty());
        EXPECT_EQ(exists, c.exists);
        if (!ok) {
            EXPECT_EQ(reason, c.reason);
        }
    }
}

TEST_F(InputFileTest, AFolderWithoutWritePermissionIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write in any folder";
    const fs::path folder = dir_ / "locked";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    std::string reason;
    EXPECT_FALSE(PosixCheckOutputTarget((folder / "new.s").string(), &reason));
    EXPECT_EQ(reason,
              "its folder " + folder.string() + " is not writable: " + std::strerror(EACCES));
    fs::permissions(folder, fs::perms::owner_all);
}

}  // namespace
