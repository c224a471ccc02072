// SPDX-License-Identifier: Apache-2.0
// The plan of a run from its options, in process: every refusal that comes
// before anything is sent, and what an accepted plan holds.
#include "app/cli/preflight.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "update/update.h"

namespace fs = std::filesystem;

namespace {

class PreflightTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvar-preflight-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // A valid S-record file of 16 bytes from address 0.
        Write("fw.s",
              "S0030000FC\r\nS31500000000000102030405060708090A0B0C0D0E0F72\r\n"
              "S70500000000FA\r\n");
        Write("old.s", "kept\n");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }
    void Write(const char* name, const char* text) const { std::ofstream(dir_ / name) << text; }

    fs::path dir_;
};

TEST_F(PreflightTest, RefusesBeforeAnythingIsSent) {
    ASSERT_EQ(link(Path("fw.s").c_str(), Path("fw-link.s").c_str()), 0);
    ASSERT_EQ(symlink(Path("old.s").c_str(), Path("planted").c_str()), 0);
    struct Case {
        const char* name;
        CliOptions options;
        const char* step;
        const char* says;
    };
    const auto port = [](CliOptions o) {
        o.ports.push_back({"/dev/ttyUSB9", ""});
        return o;
    };
    CliOptions base;
    const Case cases[] = {
        {"no port, no simulation", base, "CheckPortDriver", "Sorry! Only for Tervalon Version!"},
        {"back-up over an existing file",
         [&] {
             auto o = port(base);
             o.backup = Path("old.s");
             return o;
         }(),
         "Options", "exists"},
        {"back-up over the firmware file, forced",
         [&] {
             auto o = port(base);
             o.firmware = Path("fw.s");
             o.backup = Path("fw.s");
             o.force = true;
             return o;
         }(),
         "Options", "fw.s"},
        {"back-up over a hard link to the firmware",
         [&] {
             auto o = port(base);
             o.firmware = Path("fw.s");
             o.backup = Path("fw-link.s");
             o.force = true;
             return o;
         }(),
         "Options", "fw-link.s"},
        {"trace over the firmware file",
         [&] {
             auto o = port(base);
             o.firmware = Path("fw.s");
             o.trace = Path("fw.s");
             o.force = true;
             return o;
         }(),
         "Options", "fw.s"},
        {"trace through a planted link",
         [&] {
             auto o = port(base);
             o.trace = Path("planted");
             o.force = true;
             return o;
         }(),
         "Options", "planted"},
        {"trace and back-up in one file",
         [&] {
             auto o = port(base);
             o.trace = Path("new.s");
             o.backup = Path("new.s");
             return o;
         }(),
         "Options", "new.s"},
        {"a firmware file that is not one",
         [&] {
             auto o = port(base);
             o.firmware = Path("old.s");
             return o;
         }(),
         "FirmwareFile", "old.s"},
        {"an unknown simulated part",
         [&] {
             auto o = base;
             o.simulate = true;
             o.simPart = "NOPE";
             return o;
         }(),
         "Options", "NOPE"},
        {"a boot pin without a line",
         [&] {
             auto o = base;
             o.ports.push_back({"/dev/ttyUSB9", "chip"});
             return o;
         }(),
         "Options", "--boot-pin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Preflight p = PlanRun(c.options);
        EXPECT_TRUE(p.refused);
        EXPECT_EQ(p.step, c.step);
        EXPECT_NE(p.message.find(c.says), std::string::npos) << p.message;
    }
    // Nothing was replaced or created on the way.
    std::ifstream kept(Path("old.s"));
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "kept");
    EXPECT_FALSE(fs::exists(dir_ / "new.s"));
}

TEST_F(PreflightTest, APlanHoldsTheActionTheImageAndTheBoard) {
    CliOptions o;
    o.ports.push_back({"/dev/ttyUSB9", "gpiochip0:17"});
    o.firmware = Path("fw.s");
    o.verify = true;
    o.readBack = true;
    Preflight p = PlanRun(o);
    ASSERT_FALSE(p.refused) << p.message;
    EXPECT_EQ(p.plan.action, UPDATE_ACTION_VERIFY_BYTES);
    EXPECT_EQ(p.plan.port, "/dev/ttyUSB9");
    EXPECT_EQ(p.plan.firmware.length, 16u);
    EXPECT_EQ(p.plan.board.gpioChip, "gpiochip0");
    EXPECT_EQ(p.plan.board.gpioLine, 17u);

    CliOptions sim;
    sim.simulate = true;
    sim.simBattery = true;
    sim.read = Path("read.hex");
    p = PlanRun(sim);
    ASSERT_FALSE(p.refused) << p.message;
    EXPECT_EQ(p.plan.action, UPDATE_ACTION_READ);
    EXPECT_EQ(p.plan.sim.acLineStatus, 0);
    EXPECT_EQ(p.plan.firmware.length, 0u);  // the built-in image
}

}  // namespace
