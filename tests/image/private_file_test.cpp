// The temporary image file on POSIX: inside a private directory of ours, and
// not written at all where someone else could have planted a link.

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

}  // namespace
