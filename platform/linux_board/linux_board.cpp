// SPDX-License-Identifier: Apache-2.0
#include "platform/linux_board/linux_board.h"

#include <gpiod.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/board_codes.h"
#include "platform/byte_order.h"

namespace {

LinuxBoardConfig Config;
gpiod_chip* Chip = nullptr;
gpiod_line* Line = nullptr;
int PinState = 0;

// Handles handed out; the values only need to be distinct and non-null.
char PortDriverToken;
char GpioToken;
char KeyToken;

std::string ReadFirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

long RegOpenKey(const char* /*subKey*/, PlatformHandle* keyOut) {
    // The port driver's key stands for the serial line the user named.
    if (Config.port.empty()) return 2;  // ERROR_FILE_NOT_FOUND
    *keyOut = &KeyToken;
    return 0;
}

long RegCloseKey(PlatformHandle /*key*/) {
    return 0;
}

PlatformHandle ActivateDevice(const char* /*path*/, uint32_t /*clientInfo*/) {
    return &PortDriverToken;
}

PlatformHandle ActivateDeviceEx(const char* /*path*/, const void* /*entries*/, uint32_t /*count*/,
                                void* /*parameter*/) {
    return &PortDriverToken;
}

int DeactivateDevice(PlatformHandle /*device*/) {
    return 1;
}

const char* PortName() {
    return Config.port.c_str();
}

PlatformHandle CreateFile(const char* /*name*/, uint32_t, uint32_t, uint32_t, uint32_t) {
    if (Config.gpioChip.empty()) return &GpioToken;
    errno = 0;
    Chip = gpiod_chip_open_lookup(Config.gpioChip.c_str());
    if (Chip == nullptr) {
        PlatformCauseSet(errno != 0 ? errno : ENODEV, "GPIO chip '%s' (for line %u)",
                         Config.gpioChip.c_str(), Config.gpioLine);
        return PLATFORM_INVALID_HANDLE;
    }
    Line = gpiod_chip_get_line(Chip, Config.gpioLine);
    if (Line == nullptr || gpiod_line_request_output(Line, "zelvar", 0) != 0) {
        PlatformCauseSet(errno, "GPIO line %u of chip '%s'", Config.gpioLine,
                         Config.gpioChip.c_str());
        gpiod_chip_close(Chip);
        Chip = nullptr;
        Line = nullptr;
        return PLATFORM_INVALID_HANDLE;
    }
    return &GpioToken;
}

int DeviceIoControl(PlatformHandle device, uint32_t code, const void* in, uint32_t inSize,
                    void* out, uint32_t outSize, uint32_t* returned) {
    // Only the update pin is wired to the line.
    if (device != &GpioToken || in == nullptr || inSize < 4 || LoadLe32(in) != UPDATE_PIN) return 0;
    const bool wired = Line != nullptr;
    switch (code) {
        case IOCTL_GIO_SET_BIT:
        case IOCTL_GIO_CLEAR_BIT:
            PinState = code == IOCTL_GIO_SET_BIT ? 1 : 0;
            return !wired || gpiod_line_set_value(Line, PinState) == 0 ? 1 : 0;
        case IOCTL_GIO_CONFIGURE:  // the line was requested as an output
            return inSize == 8 ? 1 : 0;
        case IOCTL_GIO_GET_BIT: {
            if (out == nullptr || outSize < 4) return 0;
            const int value = wired ? gpiod_line_get_value(Line) : PinState;
            if (value < 0) return 0;
            StoreLe32(out, static_cast<uint32_t>(value));
            if (returned != nullptr) *returned = 4;
            return 1;
        }
        default:
            return 0;
    }
}

int CloseHandle(PlatformHandle handle) {
    if (handle != &GpioToken) return 0;
    if (Line != nullptr) gpiod_line_release(Line);
    if (Chip != nullptr) gpiod_chip_close(Chip);
    Line = nullptr;
    Chip = nullptr;
    return 1;
}

int PowerStatus(int* acLineStatus) {
    const int status = LinuxAcLineStatus(Config.powerSupplyRoot);
    if (status < 0) return 0;
    *acLineStatus = status;
    return 1;
}

const BoardOps Table{RegOpenKey, RegCloseKey, ActivateDevice,  ActivateDeviceEx, DeactivateDevice,
                     PortName,   CreateFile,  DeviceIoControl, CloseHandle,      PowerStatus};

}  // namespace

bool ParseBootPin(const std::string& text, std::string* chip, unsigned* line) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    const std::string number = text.substr(colon + 1);
    if (number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *chip = text.substr(0, colon);
    *line = static_cast<unsigned>(std::stoul(number));
    return true;
}

const BoardOps& LinuxBoardOps(const LinuxBoardConfig& config) {
    Config = config;
    return Table;
}

int LinuxAcLineStatus(const std::string& powerSupplyRoot) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(powerSupplyRoot, error)) return 1;  // nothing to run down
    bool battery = false;
    bool external = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(powerSupplyRoot, error)) {
        const std::string type = ReadFirstLine(entry.path() / "type");
        if (type == "Battery") {
            battery = true;
        } else if (ReadFirstLine(entry.path() / "online") == "1") {
            external = true;
        }
    }
    if (error) return -1;
    return external || !battery ? 1 : 0;
}
