// SPDX-License-Identifier: Apache-2.0
// Serial ports from a fake sysfs tree laid out as the kernel lays it out:
// class/tty entries linking into devices/, device and driver links, and the
// USB device's attributes some levels up.
#include "platform/posix/port_list.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        top = fs::path(::testing::TempDir()) /
              ("zelvar_sysfs_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(top);
        sys = top / "sys";
        dev = top / "dev";
        fs::create_directories(sys / "class" / "tty");
        fs::create_directories(dev);
    }
    void TearDown() override { fs::remove_all(top); }

    void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // path relative to sys; target relative to the link's folder, as in sysfs.
    void Link(const fs::path& path, const std::string& target) {
        fs::create_directories((sys / path).parent_path());
        fs::create_directory_symlink(target, sys / path);
    }
    // A tty class entry for the tty directory at devicesPath/tty/name (or
    // devicesPath/name for usb-serial), with its node in dev.
    void Tty(const std::string& name, const std::string& ttyDir) {
        fs::create_directories(sys / ttyDir);
        Link("class/tty/" + name, "../../" + ttyDir);
        Write(dev / name, "");
    }

    fs::path top, sys, dev;
};

using Row = std::tuple<std::string, std::string, std::string, bool, std::string, std::string,
                       std::string, std::string, std::string>;
Row RowOf(const SerialPortInfo& p) {
    return {p.name,      p.device,       p.driver,       p.usb,    p.vendorId,
            p.productId, p.serialNumber, p.manufacturer, p.product};
}

TEST_F(FakeSysfs, ListsAdaptersModemsAndUartsButNotConsolesOrPtys) {
    const std::string hub = "devices/pci0000:00/0000:00:14.0/usb1";
    fs::create_directories(sys / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(sys / "bus/usb/drivers/cdc_acm");
    fs::create_directories(sys / "bus/platform/drivers/serial8250");

    // FTDI adapter: the usb-serial port under the interface under the device.
    Write(sys / hub / "1-2/idVendor", "0403");
    Write(sys / hub / "1-2/idProduct", "6001");
    Write(sys / hub / "1-2/serial", "A50285BI");
    Write(sys / hub / "1-2/manufacturer", "FTDI");
    Write(sys / hub / "1-2/product", "FT232R USB UART");
    Write(sys / hub / "1-2/1-2:1.0/bInterfaceNumber", "00");
    Tty("ttyUSB0", hub + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    Link(hub + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0");
    Link(hub + "/1-2/1-2:1.0/ttyUSB0/driver",
         "../../../../../../../bus/usb-serial/drivers/ftdi_sio");

    // CDC ACM receiver: the tty under the interface; no serial number.
    Write(sys / hub / "1-3/idVendor", "1546");
    Write(sys / hub / "1-3/idProduct", "01a7");
    Write(sys / hub / "1-3/manufacturer", "u-blox AG");
    Write(sys / hub / "1-3/product", "GNSS receiver");
    Tty("ttyACM0", hub + "/1-3/1-3:1.0/tty/ttyACM0");
    Link(hub + "/1-3/1-3:1.0/tty/ttyACM0/device", "../../../1-3:1.0");
    Link(hub + "/1-3/1-3:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");

    // Board UARTs: two with a UART, one the kernel found none at.
    Link("devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    for (const char* name : {"ttyS2", "ttyS10", "ttyS1"}) {
        const std::string dir = std::string("devices/platform/serial8250/tty/") + name;
        Tty(name, dir);
        Link(dir + "/device", "../../../serial8250");
        Write(sys / dir / "type", std::string(name) == "ttyS1" ? "0" : "4");
    }

    // Virtual: a console and a pty, no device link; a console with one all the same.
    Tty("tty0", "devices/virtual/tty/tty0");
    Tty("ptyp0", "devices/virtual/tty/ptyp0");
    Tty("tty5", "devices/virtual/tty/tty5");
    Link("devices/virtual/tty/tty5/device", "../../../platform/serial8250");
    // An adapter whose node is not in dev (gone between the two looks).
    Tty("ttyUSB1", hub + "/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1");
    Link(hub + "/1-2/1-2:1.0/ttyUSB1/tty/ttyUSB1/device", "../../../ttyUSB1");
    fs::remove(dev / "ttyUSB1");

    const std::string d = dev.string() + "/";
    const std::vector<Row> expected = {
        {"ttyACM0", d + "ttyACM0", "cdc_acm", true, "1546", "01a7", "", "u-blox AG",
         "GNSS receiver"},
        {"ttyS2", d + "ttyS2", "serial8250", false, "", "", "", "", ""},
        {"ttyS10", d + "ttyS10", "serial8250", false, "", "", "", "", ""},
        {"ttyUSB0", d + "ttyUSB0", "ftdi_sio", true, "0403", "6001", "A50285BI", "FTDI",
         "FT232R USB UART"},
    };
    std::vector<Row> listed;
    for (const SerialPortInfo& p : ListSerialPorts(sys.string(), dev.string())) {
        listed.push_back(RowOf(p));
    }
    EXPECT_EQ(listed, expected);
}

TEST_F(FakeSysfs, AMachineWithNoSerialDeviceListsNothing) {
    // Only virtual terminals.
    Tty("tty0", "devices/virtual/tty/tty0");
    Tty("ttyp0", "devices/virtual/tty/ttyp0");
    EXPECT_TRUE(ListSerialPorts(sys.string(), dev.string()).empty());
    fs::remove_all(sys / "class");
    EXPECT_TRUE(ListSerialPorts(sys.string(), dev.string()).empty());
    EXPECT_TRUE(ListSerialPorts((top / "nothing").string(), dev.string()).empty());
}

// The adapter's latency timer, found where the drivers put it, lowered to 1
// when above, and read back.
TEST_F(FakeSysfs, AdapterLatencyTimerIsLoweredToOneWhereItCanBe) {
    const std::string port = "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0";
    struct Case {
        const char* name;
        std::string file;  // relative to sys; "" for none
        const char* value;
        int result;
        const char* after;
    };
    const Case cases[] = {
        {"on the port's device, 16 ms", port + "/latency_timer", "16", 1, "1"},
        {"already 1", port + "/latency_timer", "1", 1, "1"},
        {"on the device's parent", port + "/../latency_timer", "16", 1, "1"},
        {"in the usb-serial bus folder", "bus/usb-serial/devices/ttyUSB0/latency_timer", "10", 1,
         "1"},
        {"not a number", port + "/latency_timer", "fast", -1, "fast"},
        {"none (a UART on the board)", "", "", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Tty("ttyUSB0", port + "/tty/ttyUSB0");
        Link(port + "/tty/ttyUSB0/device", "../../../ttyUSB0");
        if (!c.file.empty()) Write(sys / c.file, c.value);
        EXPECT_EQ(PosixAdapterLatencyMs("/dev/ttyUSB0", sys.string()), c.result);
        if (!c.file.empty()) {
            std::ifstream in(sys / c.file);
            std::string after;
            std::getline(in, after);
            EXPECT_EQ(after, c.after);
        }
    }
}

// Only root may write the timer: anyone else gets the value as it stands. As
// root, this runs as nobody in a child process.
TEST_F(FakeSysfs, AdapterLatencyTimerOthersCannotWriteIsReportedAsItIs) {
    const std::string port = "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0";
    Tty("ttyUSB0", port + "/tty/ttyUSB0");
    Link(port + "/tty/ttyUSB0/device", "../../../ttyUSB0");
    Write(sys / port / "latency_timer", "16");
    fs::permissions(sys / port / "latency_timer",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string root = sys.string();
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(3);
            std::_Exit(PosixAdapterLatencyMs("/dev/ttyUSB0", root) == 16 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
