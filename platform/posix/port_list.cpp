// SPDX-License-Identifier: Apache-2.0
// Serial ports from sysfs. /sys/class/tty/NAME/device links to the device
// the port belongs to: the usb-serial port (whose parent is the USB
// interface), the CDC ACM interface itself, or a platform device. The USB
// device with the identification is the first ancestor that has idVendor and
// idProduct.
#include "platform/posix/port_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, "" when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return "";
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool Digits(const std::string& text, size_t from) {
    return from < text.size() &&
           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Virtual consoles (tty, tty0..tty63), the console and pseudo-terminals:
// none of them is a line to a receiver, whatever links they carry.
bool Virtual(const std::string& name) {
    if (name == "tty" || name == "console" || name == "ptmx") return true;
    if (name.rfind("tty", 0) == 0 && Digits(name, 3)) return true;
    if (name.rfind("pty", 0) == 0) return true;
    // Old BSD-style slaves: ttyp0..ttyef.
    return name.size() == 5 && name.rfind("tty", 0) == 0 &&
           ((name[3] >= 'p' && name[3] <= 'z') || (name[3] >= 'a' && name[3] <= 'e')) &&
           std::isxdigit(static_cast<unsigned char>(name[4])) != 0;
}

// ttyS2 before ttyS10: runs of digits compare by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The USB device above the port's device, if any, inside the sysfs tree.
void FillUsb(const fs::path& device, const fs::path& root, SerialPortInfo* port) {
    std::error_code error;
    for (fs::path at = device; !at.empty() && at != root && at != at.parent_path();
         at = at.parent_path()) {
        if (fs::exists(at / "idVendor", error) && fs::exists(at / "idProduct", error)) {
            port->usb = true;
            port->vendorId = Attribute(at / "idVendor");
            port->productId = Attribute(at / "idProduct");
            port->serialNumber = Attribute(at / "serial");
            port->manufacturer = Attribute(at / "manufacturer");
            port->product = Attribute(at / "product");
            return;
        }
    }
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysfsRoot,
                                            const std::string& devRoot) {
    std::vector<SerialPortInfo> ports;
    std::error_code error;
    const fs::path root = fs::weakly_canonical(sysfsRoot, error);
    const fs::path classDir = fs::path(sysfsRoot) / "class" / "tty";
    fs::directory_iterator entries(classDir, error);
    if (error) return ports;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (Virtual(name)) continue;
        const fs::path link = entry.path() / "device";
        if (!fs::is_symlink(link, error)) continue;
        const fs::path device = fs::canonical(link, error);
        if (error) continue;
        // A serial-core port the kernel found no UART at.
        if (Attribute(entry.path() / "type") == "0") continue;
        const fs::path node = fs::path(devRoot) / name;
        if (!fs::exists(node, error)) continue;
        SerialPortInfo port;
        port.name = name;
        port.device = node.string();
        if (fs::is_symlink(device / "driver", error)) {
            port.driver = fs::read_symlink(device / "driver", error).filename().string();
        }
        FillUsb(device, root, &port);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return NaturalLess(a.name, b.name);
    });
    return ports;
}

namespace {

// A whole number from a sysfs attribute, -1 when it holds none.
int Number(const fs::path& file) {
    const std::string text = Attribute(file);
    if (text.empty() || !Digits(text, 0) || text.size() > 6) return -1;
    return std::atoi(text.c_str());
}

}  // namespace

int PosixAdapterLatencyMs(const char* port, const std::string& sysfsRoot) {
    std::error_code error;
    fs::path node = fs::canonical(port, error);
    if (error) node = port;
    const std::string name = node.filename().string();
    if (name.empty()) return -1;
    const fs::path device = fs::path(sysfsRoot) / "class" / "tty" / name / "device";
    fs::path timer;
    for (const fs::path& candidate :
         {device / "latency_timer", device / ".." / "latency_timer",
          fs::path(sysfsRoot) / "bus" / "usb-serial" / "devices" / name / "latency_timer"}) {
        if (fs::is_regular_file(candidate, error)) {
            timer = candidate;
            break;
        }
    }
    if (timer.empty()) return -1;
    const int found = Number(timer);
    if (found <= 1) return found;
    // As the shell writes it: O_TRUNC is what a regular file needs, sysfs ignores it.
    const int fd = open(timer.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
        (void)!write(fd, "1\n", 2);
        close(fd);
    }
    return Number(timer);
}
