// SPDX-License-Identifier: Apache-2.0
// The temporary image file on POSIX: inside a private directory of ours, and
// not written at all where someone else could have planted a link.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "image/image.h"
#include "platform/fake/fake_resource.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "tests/support/core_reset.h"

namespace fs = std::filesystem;

namespace {

class PrivateFile : public testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadRuntime = old != nullptr;
        if (hadRuntime) oldRuntime = old;
        runtime = fs::path(testing::TempDir()) /
                  ("zelvar_rt_" +
                   std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(runtime);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

        ResetCoreModules();
        FakeResourceSetData(text.data(), static_cast<uint32_t>(text.size()));
        PlatformOps ops{};
        ops.resource = &FakeResourceOps();
        ops.files = &PosixFileOps();
        PlatformInstall(ops);
    }
    void TearDown() override {
        if (hadRuntime) {
            setenv("XDG_RUNTIME_DIR", oldRuntime.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        fs::remove_all(runtime);
        ResetCoreModules();
    }
    bool hadRuntime = false;
    std::string oldRuntime;
    fs::path runtime;
    const std::string text = "S30900000000DEADBEEFBE\r\nS70500000000FA\r\n";
};

TEST_F(PrivateFile, WrittenInsideADirectoryOnlyWeCanEnter) {
    ASSERT_EQ(ExtractImageResource(), 0);
    const fs::path dir = runtime / "zelvar";
    const fs::path file = dir / "Tervalon.s";
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);

    uint32_t count = 0;
    const uint8_t* image = LoadImageFile(file.c_str(), &count);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(image[0], 0xDE);
}

TEST_F(PrivateFile, PlantedLinkInsteadOfTheDirectoryIsNotFollowed) {
    const fs::path elsewhere = runtime / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, runtime / "zelvar");
    EXPECT_EQ(ExtractImageResource(), 0);  // not this step's failure
    EXPECT_FALSE(fs::exists(elsewhere / "Tervalon.s"));
    uint32_t count = 99;
    EXPECT_EQ(LoadImageFile((runtime / "zelvar" / "Tervalon.s").c_str(), &count), nullptr);
}

TEST_F(PrivateFile, DirectoryOthersCanEnterIsRefused) {
    fs::create_directory(runtime / "zelvar");
    fs::permissions(runtime / "zelvar",
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    EXPECT_EQ(ExtractImageResource(), 0);
    EXPECT_FALSE(fs::exists(runtime / "zelvar" / "Tervalon.s"));
}

// A folder that is not ours alone is refused, and the reason is kept for
// the user: nothing is written, and the loader finds no file.
TEST_F(PrivateFile, FolderNotOursAloneIsRefusedWithItsReason) {
    struct Case {
        const char* name;
        void (*make)(const fs::path& dir);
        const char* reason;
    };
    const Case cases[] = {
        {"link",
         [](const fs::path& dir) {
             fs::create_directory(dir.parent_path() / "elsewhere");
             fs::permissions(dir.parent_path() / "elsewhere", fs::perms::owner_all);
             fs::create_directory_symlink(dir.parent_path() / "elsewhere", dir);
         },
         "is not a directory"},
        {"mode 0755",
         [](const fs::path& dir) {
             fs::create_directory(dir);
             fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
         },
         "is not private"},
        {"owner nobody",
         [](const fs::path& dir) {
             fs::create_directory(dir);
             fs::permissions(dir, fs::perms::owner_all);
             ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
         },
         "belongs to another user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "owner nobody" && geteuid() != 0) continue;  // needs root
        const fs::path dir = runtime / "zelvar";
        fs::remove_all(dir);
        fs::remove_all(runtime / "elsewhere");
        c.make(dir);
        PlatformCauseClear();
        EXPECT_EQ(ExtractImageResource(), 0);  // not this step's failure
        EXPECT_NE(std::string(PlatformCauseText()).find(c.reason), std::string::npos)
            << PlatformCauseText();
        EXPECT_NE(std::string(PlatformCauseText()).find(dir.string()), std::string::npos);
        EXPECT_EQ(PlatformFiles().tempImagePath(), nullptr);
        EXPECT_FALSE(fs::exists(dir / "Tervalon.s"));
        EXPECT_FALSE(fs::exists(runtime / "elsewhere" / "Tervalon.s"));
    }
}

// Where others may write, the folder must be sticky, or they could move our
// directory away and put theirs in its place; in a sticky one, the user has
// one directory, reused by every run, so that failed runs leave one file, not
// a folder each. A name someone else took first sends the run to a directory
// of its own.
TEST_F(PrivateFile, SharedParentMustBeStickyAndKeepsOneFilePerUser) {
    fs::permissions(runtime, fs::perms::all);
    PlatformCauseClear();
    EXPECT_EQ(ExtractImageResource(), 0);
    EXPECT_NE(std::string(PlatformCauseText()).find("writable by others and not sticky"),
              std::string::npos)
        << PlatformCauseText();
    EXPECT_TRUE(fs::is_empty(runtime));

    fs::permissions(runtime, fs::perms::all | fs::perms::sticky_bit);
    const fs::path mine = runtime / ("zelvar-" + std::to_string(geteuid()));
    for (int run = 0; run < 3; ++run) {  // each a failed run: the file is kept
        ASSERT_EQ(ExtractImageResource(), 0);
        ASSERT_NE(PlatformFiles().tempImagePath(), nullptr);
        EXPECT_EQ(fs::path(PlatformFiles().tempImagePath()), mine / "Tervalon.s");
        ImageCloseTemporaryFile();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(runtime), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(mine), fs::directory_iterator()), 1);
    EXPECT_EQ(fs::status(mine).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(runtime / "zelvar"));
    ASSERT_EQ(ExtractImageResource(), 0);
    EXPECT_EQ(ImageRemoveTemporaryFile(), 1);  // a finished one removes its file
    EXPECT_TRUE(fs::is_empty(mine));

    // Taken first by a link (as another user's folder would be): not followed.
    fs::remove(mine);
    fs::create_directory(runtime / "elsewhere");
    fs::create_directory_symlink(runtime / "elsewhere", mine);
    ASSERT_EQ(ExtractImageResource(), 0);
    const fs::path own = fs::path(PlatformFiles().tempImagePath()).parent_path();
    EXPECT_NE(own, mine);
    EXPECT_EQ(own.filename().string().rfind("zelvar-", 0), 0u);
    EXPECT_TRUE(fs::is_empty(runtime / "elsewhere"));
    EXPECT_EQ(ImageRemoveTemporaryFile(), 1);
    EXPECT_FALSE(fs::exists(own));
}

// Once written, the file is read back and removed through the descriptor it
// was written by: a file swapped in under its name is neither read nor
// deleted.
TEST_F(PrivateFile, FileSwappedInUnderTheNameIsNeitherReadNorRemoved) {
    ASSERT_EQ(ExtractImageResource(), 0);
    const fs::path file = runtime / "zelvar" / "Tervalon.s";
    ASSERT_STREQ(PlatformFiles().tempImagePath(), file.c_str());
    const fs::path planted = runtime / "zelvar" / "planted";
    std::ofstream(planted, std::ios::binary) << "S30900000000CAFEF00D31\r\nS70500000000FA\r\n";
    fs::rename(planted, file);

    uint32_t count = 0;
    const uint8_t* image = LoadImageFile(PlatformFiles().tempImagePath(), &count);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(image[0], 0xDE);
    EXPECT_EQ(image[3], 0xEF);
    EXPECT_EQ(ImageRemoveTemporaryFile(), 0);
    EXPECT_TRUE(fs::exists(file));
}

// A runtime directory that cannot take our folder (gone, a file, not ours
// after su, read-only) is passed over for TMPDIR, and that for /tmp. Each
// case runs in a child process of its own, so that the environment and the
// identity it changes end with it; as root, the read-only case runs as nobody,
// for whom the mode counts.
TEST_F(PrivateFile, UnusableRuntimeDirectoryFallsBackToTmpdirThenTmp) {
    enum Where { RUNTIME, TMPDIR_FOLDER, TMP };
    struct Case {
        const char* name;
        // Spoils the runtime directory (and TMPDIR when the case says so).
        void (*spoil)(const fs::path& runtime, const fs::path& tmpdir);
        bool asNobody;  // the mode matters only to someone other than root
        Where lands;
    };
    const Case cases[] = {
        {"usable runtime directory", [](const fs::path&, const fs::path&) {}, false, RUNTIME},
        {"runtime directory removed", [](const fs::path& r, const fs::path&) { fs::remove_all(r); },
         false, TMPDIR_FOLDER},
        {"runtime directory is a file",
         [](const fs::path& r, const fs::path&) {
             fs::remove_all(r);
             std::ofstream(r) << "x";
         },
         false, TMPDIR_FOLDER},
        {"runtime directory read-only",
         [](const fs::path& r, const fs::path&) {
             fs::permissions(r, fs::perms::owner_read | fs::perms::owner_exec);
         },
         true, TMPDIR_FOLDER},
        {"runtime directory of another user",
         [](const fs::path& r, const fs::path&) {
             if (chown(r.c_str(), 65534, 65534) != 0) std::_Exit(3);
         },
         false, TMPDIR_FOLDER},
        {"runtime directory and TMPDIR both gone",
         [](const fs::path& r, const fs::path& t) {
             fs::remove_all(r);
             fs::remove_all(t);
         },
         false, TMP},
    };
    const fs::path tmpdir = runtime.string() + "_tmpdir";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool root = geteuid() == 0;
        if (!root && std::string(c.name) == "runtime directory of another user") continue;
        EXPECT_EXIT(
            {
                fs::remove_all(tmpdir);
                fs::create_directories(tmpdir);
                fs::permissions(tmpdir, fs::perms::owner_all);
                fs::permissions(runtime, fs::perms::owner_all);
                if (c.asNobody && root) {
                    if (chown(runtime.c_str(), 65534, 65534) != 0 ||
                        chown(tmpdir.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 ||
                        setuid(65534) != 0) {
                        std::_Exit(4);
                    }
                }
                c.spoil(runtime, tmpdir);
                setenv("TMPDIR", tmpdir.c_str(), 1);
                const PlatformHandle file = PlatformFiles().create();
                if (file == PLATFORM_INVALID_HANDLE) std::_Exit(5);
                const fs::path made = PlatformFiles().tempImagePath();
                const fs::path base = made.parent_path().parent_path();
                const fs::path expected = c.lands == RUNTIME         ? runtime
                                          : c.lands == TMPDIR_FOLDER ? tmpdir
                                                                     : "/tmp";
                const bool removed = PlatformFiles().remove(file) == 1;
                PlatformFiles().close(file);
                std::_Exit(base == expected && removed ? 0 : 6);
            },
            testing::ExitedWithCode(0), "");
        if (fs::exists(runtime) && !fs::is_directory(runtime)) fs::remove(runtime);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
    }
    fs::remove_all(tmpdir);
}

}  // namespace
