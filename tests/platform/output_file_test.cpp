// SPDX-License-Identifier: Apache-2.0
// The rule for files a run writes: each refusal checked before anything is
// sent, a streamed file that leaves the old one until it is committed, and a
// device's write error reported rather than lost.
#include "platform/posix/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

class OutputFile : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::path(testing::TempDir()) /
              ("zelvar_out_" +
               std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "fw.s") << "firmware";
        std::ofstream(dir / "old.bin") << "old back-up";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string P(const char* name) const { return (dir / name).string(); }
    std::string Read(const char* name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    size_t Entries() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
    fs::path dir;
};

TEST_F(OutputFile, EveryClashIsRefusedBeforeTheRunWithTheFileAndTheReason) {
    fs::create_symlink(dir / "old.bin", dir / "planted");
    fs::create_hard_link(dir / "fw.s", dir / "fw-link.s");
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
    const std::vector<PosixRunFile> inputs = {{P("fw.s"), "--firmware"}};
    struct Case {
        const char* what;
        std::vector<PosixRunFile> outputs;
        bool force;
        std::string refusal;  // empty: allowed
    };
    const std::string sub = (dir / "." / "new.s").string();
    const Case cases[] = {
        {"new files", {{P("new.s"), "--backup"}, {P("trace"), "--trace", true}}, false, ""},
        {"an existing file with --force", {{P("old.bin"), "--trace", true}}, true, ""},
        {"the trace to a device or stderr",
         {{"/dev/null", "--trace", true}, {"-", "--trace", true}},
         false,
         ""},
        {"an existing file",
         {{P("old.bin"), "--trace", true}},
         false,
         P("old.bin") + " exists; --force replaces it"},
        {"a planted link",
         {{P("planted"), "--trace", true}},
         true,
         P("planted") + " is a symbolic link; --trace does not follow links"},
        {"the firmware file",
         {{P("fw.s"), "--backup"}},
         true,
         P("fw.s") + " is the same file as --firmware " + P("fw.s") +
             "; --backup would write over it"},
        {"a hard link to the firmware file",
         {{P("fw-link.s"), "--trace", true}},
         true,
         P("fw-link.s") + " is the same file as --firmware " + P("fw.s") +
             "; --trace would write over it"},
        {"one new file for two outputs",
         {{P("new.s"), "--backup"}, {sub, "--trace", true}},
         false,
         sub + " is the same file as --backup " + P("new.s") +
             "; give each output a file of its own"},
        {"one existing file for two outputs",
         {{P("old.bin"), "--backup"}, {P("old.bin"), "--trace", true}},
         true,
         P("old.bin") + " is the same file as --backup " + P("old.bin") +
             "; give each output a file of its own"},
        {"a FIFO",
         {{P("fifo"), "--trace", true}},
         true,
         P("fifo") + " is a FIFO, not a regular file; --trace writes a regular file of its own"},
        {"a device for a back-up",
         {{"/dev/null", "--backup"}},
         true,
         "/dev/null is a device, not a regular file; --backup writes a regular file of its own"},
        {"a missing folder",
         {{P("none/trace"), "--trace", true}},
         false,
         P("none/trace") + ": its folder " + P("none") + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string why;
        EXPECT_EQ(PosixCheckRunFiles(inputs, c.outputs, c.force, &why), c.refusal.empty());
        EXPECT_EQ(why, c.refusal);
    }
    EXPECT_EQ(Read("old.bin"), "old back-up");  // nothing was written by a check
}

TEST_F(OutputFile, AStreamLeavesTheOldFileUntilItIsCommitted) {
    PosixOutputStream trace;
    std::string why;
    ASSERT_TRUE(PosixOutputOpen(P("old.bin"), true, &trace, &why)) << why;
    std::fputs("new trace", trace.file);
    std::fflush(trace.file);
    EXPECT_EQ(Read("old.bin"), "old back-up");
    ASSERT_TRUE(PosixOutputCommit(&trace, 0, &why)) << why;
    EXPECT_EQ(Read("old.bin"), "new trace");
    EXPECT_EQ(Entries(), 2u);  // no temporary file left behind

    // Without --force a file that appeared meanwhile is kept, and so is ours.
    ASSERT_TRUE(PosixOutputOpen(P("late"), false, &trace, &why)) << why;
    const std::string temp = trace.temp;
    std::fputs("ours", trace.file);
    std::ofstream(dir / "late") << "theirs";
    EXPECT_FALSE(PosixOutputCommit(&trace, 0, &why));
    EXPECT_NE(why.find("appeared"), std::string::npos) << why;
    EXPECT_EQ(Read("late"), "theirs");
    EXPECT_TRUE(fs::exists(temp));

    // A run refused before it started leaves nothing.
    ASSERT_TRUE(PosixOutputOpen(P("refused"), false, &trace, &why));
    PosixOutputDiscard(&trace);
    EXPECT_FALSE(fs::exists(dir / "refused"));
    EXPECT_EQ(Entries(), 4u);
}

TEST_F(OutputFile, AWholeFileIsPlacedOnlyWhereItMay) {
    std::string why;
    const std::string data = "flash bytes";
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    EXPECT_FALSE(PosixWriteFileSafely(P("old.bin"), bytes, data.size(), false, &why));
    EXPECT_EQ(why, P("old.bin") + " exists; --force replaces it");
    EXPECT_EQ(Read("old.bin"), "old back-up");
    ASSERT_TRUE(PosixWriteFileSafely(P("old.bin"), bytes, data.size(), true, &why)) << why;
    EXPECT_EQ(Read("old.bin"), data);
    EXPECT_FALSE(PosixWriteFileSafely(P("none/x.s"), bytes, data.size(), true, &why));
    EXPECT_EQ(why.rfind(P("none/x.s") + ": cannot create a file in its folder", 0), 0u) << why;
    EXPECT_EQ(Entries(), 2u);
}

TEST_F(OutputFile, AWriteErrorOnADeviceIsReported) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    PosixOutputStream trace;
    std::string why;
    ASSERT_TRUE(PosixOutputOpen("/dev/full", false, &trace, &why)) << why;
    EXPECT_TRUE(trace.temp.empty());
    // The line fails as it is written, with the device's own error...
    ASSERT_EQ(std::fputs("a line of trace\n", trace.file), EOF);
    const int firstError = errno;
    EXPECT_FALSE(PosixOutputCommit(&trace, firstError, &why));
    EXPECT_EQ(why, "/dev/full could not be written: No space left on device");
    EXPECT_EQ(trace.file, nullptr);
    // ...and a caller that did not look still hears of it.
    ASSERT_TRUE(PosixOutputOpen("/dev/full", false, &trace, &why)) << why;
    std::fputs("a line of trace\n", trace.file);
    EXPECT_FALSE(PosixOutputCommit(&trace, 0, &why));
    EXPECT_EQ(why.rfind("/dev/full could not be written: ", 0), 0u) << why;
}

}  // namespace
