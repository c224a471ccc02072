// SPDX-License-Identifier: Apache-2.0
// The Linux board: the boot pin's option, the power-supply class, and the
// board calls without a GPIO line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/linux_board/linux_board.h"

namespace {

namespace fs = std::filesystem;

TEST(LinuxBoard, BootPinIsChipColonLine) {
    struct Case {
        const char* text;
        bool ok;
        const char* chip;
        unsigned line;
    };
    const Case cases[] = {
        {"gpiochip0:17", true, "gpiochip0", 17},
        {"/dev/gpiochip1:0", true, "/dev/gpiochip1", 0},
        {"pinctrl-bcm2835:4", true, "pinctrl-bcm2835", 4},
        {"gpiochip0", false, "", 0},
        {":3", false, "", 0},
        {"gpiochip0:", false, "", 0},
        {"gpiochip0:-1", false, "", 0},
        {"gpiochip0:1x", false, "", 0},
        {"gpiochip0:99999999", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string chip;
        unsigned line = 1234;
        EXPECT_EQ(ParseBootPin(c.text, &chip, &line), c.ok);
        if (c.ok) {
            EXPECT_EQ(chip, c.chip);
            EXPECT_EQ(line, c.line);
        }
    }
}

class PowerSupplies : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvar-power-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }
    void Supply(const std::string& name, const std::string& type, const char* online) {
        fs::create_directories(root_ / name);
        std::ofstream(root_ / name / "type") << type << "\n";
        if (online != nullptr) std::ofstream(root_ / name / "online") << online << "\n";
    }
    fs::path root_;
};

TEST_F(PowerSupplies, ExternalPowerUnlessOnlyABatteryFeedsTheMachine) {
    EXPECT_EQ(LinuxAcLineStatus((root_ / "missing").string()), 1);  // no class at all
    EXPECT_EQ(LinuxAcLineStatus(root_.string()), 1);                // no supplies: no battery
    Supply("BAT0", "Battery", nullptr);
    EXPECT_EQ(LinuxAcLineStatus(root_.string()), 0);
    Supply("AC", "Mains", "0");
    EXPECT_EQ(LinuxAcLineStatus(root_.string()), 0);  // charger unplugged
    Supply("usb", "USB", "1");
    EXPECT_EQ(LinuxAcLineStatus(root_.string()), 1);
}

TEST_F(PowerSupplies, MainsOnlineWithABatteryIsExternalPower) {
    Supply("BAT1", "Battery", nullptr);
    Supply("ADP1", "Mains", "1");
    LinuxBoardConfig config;
    config.port = "/dev/ttyS0";
    config.powerSupplyRoot = root_.string();
    int ac = -1;
    ASSERT_EQ(LinuxBoardOps(config).powerStatus(&ac), 1);
    EXPECT_EQ(ac, 1);
}

TEST(LinuxBoard, WithoutAGpioLineThePinStepsPassForPin133Only) {
    LinuxBoardConfig config;
    config.port = "/dev/ttyUSB0";
    const BoardOps& board = LinuxBoardOps(config);
    PlatformHandle key = nullptr;
    EXPECT_EQ(board.regOpenKey("Drivers\\PhysicalCOM", &key), 0);
    EXPECT_STREQ(board.portName(), "/dev/ttyUSB0");
    const PlatformHandle gpio = board.createFile("GIO1:", 0, 0, 0, 0);
    ASSERT_NE(gpio, PLATFORM_INVALID_HANDLE);
    const uint8_t pin[4] = {0x85, 0, 0, 0};
    const uint8_t pair[8] = {0x85, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t otherPin[4] = {0x86, 0, 0, 0};
    uint8_t state[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint32_t returned = 0;
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C00, pin, 4, nullptr, 0, nullptr), 1);
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C10, pair, 8, nullptr, 0, nullptr), 1);
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C0C, pin, 4, state, 4, &returned), 1);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(state[0], 1);  // set
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C04, pin, 4, nullptr, 0, nullptr), 1);
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C0C, pin, 4, state, 4, &returned), 1);
    EXPECT_EQ(state[0], 0);  // cleared
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C00, otherPin, 4, nullptr, 0, nullptr), 0);
    EXPECT_EQ(board.deviceIoControl(gpio, 0x220C99, pin, 4, nullptr, 0, nullptr), 0);
    EXPECT_EQ(board.closeHandle(gpio), 1);

    LinuxBoardConfig noPort;
    EXPECT_NE(LinuxBoardOps(noPort).regOpenKey("Drivers\\PhysicalCOM", &key), 0);
}

TEST(LinuxBoard, MissingGpioChipFailsTheOpen) {
    LinuxBoardConfig config;
    config.port = "/dev/ttyUSB0";
    config.gpioChip = "zelvar-no-such-chip";
    config.gpioLine = 3;
    EXPECT_EQ(LinuxBoardOps(config).createFile("GIO1:", 0, 0, 0, 0), PLATFORM_INVALID_HANDLE);
}

}  // namespace
