// SPDX-License-Identifier: Apache-2.0
// The serial ports of a Linux machine, as sysfs describes them: for each tty
// backed by a device (a USB serial adapter, a CDC ACM modem, a UART on the
// board), its node and what the kernel says of it. Nothing is opened.
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string name;    // "ttyUSB0"
    std::string device;  // "/dev/ttyUSB0"
    std::string driver;  // "ftdi_sio", "cdc_acm", "serial8250"; "" when none is bound
    // Filled only when the port sits on a USB device, as that device gives
    // them ("" for each one it does not have).
    bool usb = false;
    std::string vendorId;   // idVendor, four hex digits, "0403"
    std::string productId;  // idProduct, "6001"
    std::string serialNumber;
    std::string manufacturer;
    std::string product;
};

// The ports under sysfsRoot/class/tty that have a device link and a node in
// devRoot, in name order (ttyS2 before ttyS10). Virtual consoles, pseudo-
// terminals and serial-core ports with no UART behind them (type 0) are left
// out. An empty or missing tree gives an empty list.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysfsRoot = "/sys",
                                            const std::string& devRoot = "/dev");

// The latency timer of the USB serial adapter behind port (a device path,
// followed through links), in milliseconds: the attribute latency_timer of
// the port's device in sysfs (ftdi_sio and alike), or of its parent, or in
// bus/usb-serial/devices. Above 1 it is set to 1 where we may write it (root
// only, as a rule). Returns the value in force afterwards, or -1 when the
// port has no such timer.
int PosixAdapterLatencyMs(const char* port, const std::string& sysfsRoot = "/sys");
