// SPDX-License-Identifier: Apache-2.0
// The handheld's GPIO driver as the update drives it: the control codes its
// DeviceIoControl takes and the pin wired to the receiver's update input. The
// board back ends (Linux, Win32, the simulated handheld) answer these codes
// and the update sends them, so they are written once, here.
#pragma once

#include <cstdint>

constexpr uint32_t UPDATE_PIN = 133;
constexpr uint32_t IOCTL_GIO_SET_BIT = 0x220C00;
constexpr uint32_t IOCTL_GIO_CLEAR_BIT = 0x220C04;
constexpr uint32_t IOCTL_GIO_GET_BIT = 0x220C0C;
constexpr uint32_t IOCTL_GIO_CONFIGURE = 0x220C10;
