// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/embedded/embedded_resource.h"
#include "platform/fake/fake_files.h"
#include "platform/fake/fake_resource.h"
#include "platform/platform.h"
#include "tests/image/srecord_text.h"
#include "tests/support/core_reset.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

int Instance;  // its address stands for the program's module

class Extract : public testing::Test {
  protected:
    void SetUp() override {
        ResetCoreModules();
        PlatformOps ops{};
        ops.resource = &FakeResourceOps();
        ops.files = &FakeFileOps();
        PlatformInstall(ops);
        PlatformSetAppInstance(&Instance);
        path = testing::TempDir() + "zelvar_extract_" +
               testing::UnitTest::GetInstance()->current_test_info()->name() + ".s";
        std::remove(path.c_str());
        FakeFilesSetPath(path.c_str());
        FakeResourceSetData(text.data(), static_cast<uint32_t>(text.size()));
    }
    void TearDown() override {
        std::remove(path.c_str());
        ResetCoreModules();
    }
    std::string path;
    const std::vector<uint8_t> image = srec::Bytes(300);
    const std::string text = srec::Text(image);
};

TEST_F(Extract, WritesTheResourceToTheTemporaryFile) {
    EXPECT_EQ(ExtractImageResource(), 0);
    EXPECT_EQ(ReadFile(path), text);
    EXPECT_EQ(FakeResourceFindCalls(), 1);
    EXPECT_EQ(FakeResourceLastInstance(), &Instance);
    EXPECT_EQ(FakeResourceLastId(), 137);
    EXPECT_STREQ(FakeResourceLastType(), "s");
}

TEST_F(Extract, ReplacesAnOldFileWhole) {
    WriteFile(path, std::string(5000, 'x'));
    EXPECT_EQ(ExtractImageResource(), 0);
    EXPECT_EQ(ReadFile(path), text);
}

// Each failing stage is reported by its number and leaves the file alone.
TEST_F(Extract, EachStageCanFail) {
    for (int stage = 1; stage <= 4; ++stage) {
        WriteFile(path, "old");
        FakeResourceFailStage(stage);
        EXPECT_EQ(ExtractImageResource(), stage);
        EXPECT_EQ(ReadFile(path), "old") << "stage " << stage;
    }
    FakeResourceFailStage(0);
    EXPECT_EQ(ExtractImageResource(), 0);
    EXPECT_EQ(ReadFile(path), text);
}

TEST_F(Extract, EmptyResourceIsStageTwo) {
    FakeResourceSetData(nullptr, 0);
    EXPECT_EQ(ExtractImageResource(), IMAGE_RESOURCE_EMPTY);
}

// A file that cannot be had is no failure of this step: loading decides.
TEST_F(Extract, MissingDirectoryIsLeftToTheLoader) {
    FakeFilesSetPath(nullptr);
    EXPECT_EQ(ExtractImageResource(), 0);
    const std::string nowhere = testing::TempDir() + "zelvar_no_such_dir/Tervalon.s";
    FakeFilesSetPath(nowhere.c_str());
    EXPECT_EQ(ExtractImageResource(), 0);
    uint32_t count = 12345;
    EXPECT_EQ(LoadImageFile(nowhere.c_str(), &count), nullptr);
    EXPECT_EQ(count, 12345u);  // the file never opened
}

TEST_F(Extract, LoadsWhatItWrote) {
    ASSERT_EQ(ExtractImageResource(), 0);
    uint32_t count = 0;
    const uint8_t* loaded = LoadImageFile(path.c_str(), &count);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(count, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), loaded));
}

TEST_F(Extract, LoadRefusesDamagedEmptyAndOldFiles) {
    uint32_t count = 7;
    WriteFile(path, "");
    EXPECT_EQ(LoadImageFile(path.c_str(), &count), nullptr);
    EXPECT_EQ(count, 0u);

    std::string damaged = text;
    damaged[20] = damaged[20] == '0' ? '1' : '0';  // a data digit: checksum no longer fits
    WriteFile(path, damaged);
    count = 7;
    EXPECT_EQ(LoadImageFile(path.c_str(), &count), nullptr);
    EXPECT_EQ(count, 0u);

    WriteFile(path, text.substr(0, text.size() / 2));  // a short write
    count = 7;
    EXPECT_EQ(LoadImageFile(path.c_str(), &count), nullptr);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(LoadImageFile(nullptr, &count), nullptr);
}

// The whole chain over the firmware linked into the program.
TEST_F(Extract, EmbeddedFirmwareEndToEnd) {
    PlatformOps ops{};
    ops.resource = &EmbeddedResourceOps();
    PlatformInstall(ops);
    ASSERT_EQ(ExtractImageResource(), 0);
    uint32_t count = 0;
    const uint8_t* loaded = LoadImageFile(path.c_str(), &count);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(count, 482008u);

    uint32_t length = 0;
    ASSERT_EQ(BinaryImageOpen(path.c_str(), &length, count), 0);
    ASSERT_EQ(length, 482008u);
    uint8_t block[4096];
    uint16_t crc = 0xFFFF;
    for (uint32_t remaining = length; remaining != 0;) {
        const uint32_t n = remaining < 4096 ? remaining : 4096;
        ASSERT_EQ(BinaryImageReadNextBlock(block, n, loaded), 0);
        Crc16Update(block, n, crc, &crc);
        remaining -= n;
    }
    EXPECT_EQ(crc, 0xB73C);
    EXPECT_EQ(BinaryImageReadNextBlock(block, 1, loaded), IMAGE_READ_PAST_END);
    EXPECT_EQ(BinaryImageClose(), 0);
}

TEST(EmbeddedResource, FoundAsTypeSInAnyCaseAndId137Only) {
    const ResourceOps& ops = EmbeddedResourceOps();
    for (const char* type : {"s", "S"}) {
        const PlatformHandle r = ops.find(nullptr, 137, type);
        ASSERT_NE(r, nullptr) << type;
        const uint32_t size = ops.size(nullptr, r);
        EXPECT_EQ(size, 1446048u);
        const void* data = ops.lock(ops.load(nullptr, r));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(data), 14), "S3150000000039");
    }
    EXPECT_EQ(ops.find(nullptr, 136, "S"), nullptr);
    EXPECT_EQ(ops.find(nullptr, 137, "T"), nullptr);
    EXPECT_EQ(ops.find(nullptr, 137, "SS"), nullptr);
    EXPECT_EQ(ops.find(nullptr, 137, ""), nullptr);
    EXPECT_EQ(ops.find(nullptr, 137, nullptr), nullptr);
}

}  // namespace
