// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <vector>

#include "image/image.h"
#include "tests/image/srecord_text.h"
#include "tests/support/core_reset.h"

namespace {

class Reader : public testing::Test {
  protected:
    void SetUp() override { ResetCoreModules(); }
    void TearDown() override { ResetCoreModules(); }
    const std::vector<uint8_t> image = srec::Bytes(10000);
    uint32_t count() const { return static_cast<uint32_t>(image.size()); }
};

TEST_F(Reader, SuccessiveBlocksThenRewind) {
    uint32_t length = 0;
    ASSERT_EQ(BinaryImageOpen("image", &length, count()), 0);
    EXPECT_EQ(length, 10000u);
    EXPECT_EQ(ImageReadPosition(), 0u);

    std::vector<uint8_t> read;
    uint8_t block[4096];
    for (uint32_t n : {4096u, 4096u, 1808u}) {
        ASSERT_EQ(BinaryImageReadNextBlock(block, n, image.data()), 0);
        read.insert(read.end(), block, block + n);
        EXPECT_EQ(ImageReadPosition(), read.size());
    }
    EXPECT_EQ(read, image);

    // A second open starts again at 0.
    ASSERT_EQ(BinaryImageOpen(nullptr, &length, count()), 0);
    EXPECT_EQ(ImageReadPosition(), 0u);
    ASSERT_EQ(BinaryImageReadNextBlock(block, 100, image.data()), 0);
    EXPECT_TRUE(std::equal(block, block + 100, image.begin()));
}

TEST_F(Reader, RequestBeyondTheEndFailsAndCopiesNothing) {
    uint32_t length = 0;
    BinaryImageOpen("image", &length, count());
    std::vector<uint8_t> block(10001, 0xEE);
    ASSERT_EQ(BinaryImageReadNextBlock(block.data(), 9000, image.data()), 0);

    EXPECT_EQ(BinaryImageReadNextBlock(block.data(), 1001, image.data()), IMAGE_READ_PAST_END);
    EXPECT_EQ(BinaryImageReadNextBlock(block.data(), 0xFFFFFFFFu, image.data()),
              IMAGE_READ_PAST_END);
    EXPECT_EQ(ImageReadPosition(), 9000u);
    std::fill(block.begin(), block.end(), 0xEE);
    ASSERT_EQ(BinaryImageReadNextBlock(block.data(), 1000, image.data()), 0);  // exactly the rest
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 1000, image.begin() + 9000));
    EXPECT_EQ(block[1000], 0xEE);
    EXPECT_EQ(BinaryImageReadNextBlock(block.data(), 0, image.data()), 0);
    EXPECT_EQ(BinaryImageReadNextBlock(block.data(), 1, image.data()), IMAGE_READ_PAST_END);

    BinaryImageOpen("image", &length, count());
    EXPECT_EQ(BinaryImageReadNextBlock(block.data(), 10001, image.data()), IMAGE_READ_PAST_END);
    EXPECT_EQ(ImageReadPosition(), 0u);
}

TEST_F(Reader, ReadsOnlyWhileOpen) {
    uint8_t block[16];
    EXPECT_EQ(BinaryImageReadNextBlock(block, 1, image.data()), IMAGE_READ_PAST_END);
    uint32_t length = 0;
    BinaryImageOpen("image", &length, count());
    ASSERT_EQ(BinaryImageReadNextBlock(block, 16, image.data()), 0);
    EXPECT_EQ(BinaryImageClose(), 0);
    EXPECT_EQ(BinaryImageReadNextBlock(block, 16, image.data()), IMAGE_READ_PAST_END);
    EXPECT_EQ(ImageReadPosition(), 16u);
    ImageReset();
    EXPECT_EQ(ImageReadPosition(), 0u);
    EXPECT_EQ(BinaryImageReadNextBlock(block, 1, image.data()), IMAGE_READ_PAST_END);
}

}  // namespace
