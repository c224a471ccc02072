// SPDX-License-Identifier: Apache-2.0
#include "app/cli/list_ports.h"

#include <cstdio>

#include "update/outcome.h"

namespace {

nlohmann::json OrNull(const std::string& value) {
    return value.empty() ? nlohmann::json(nullptr) : nlohmann::json(value);
}

}  // namespace

std::string PortLine(const SerialPortInfo& p) {
    std::string line = p.device;
    if (!p.driver.empty()) line += "  driver " + p.driver;
    if (!p.vendorId.empty()) line += "  usb " + p.vendorId + ":" + p.productId;
    if (!p.serialNumber.empty()) line += "  serial " + p.serialNumber;
    if (!p.manufacturer.empty() || !p.product.empty()) {
        line += "  (" + p.manufacturer + (p.manufacturer.empty() ? "" : " ") + p.product + ")";
    }
    return line;
}

nlohmann::json PortsJson(const std::vector<SerialPortInfo>& ports) {
    nlohmann::json out = nlohmann::json::array();
    for (const SerialPortInfo& p : ports) {
        out.push_back({{"device", p.device},
                       {"driver", OrNull(p.driver)},
                       {"vendor_id", OrNull(p.vendorId)},
                       {"product_id", OrNull(p.productId)},
                       {"serial", OrNull(p.serialNumber)},
                       {"manufacturer", OrNull(p.manufacturer)},
                       {"product", OrNull(p.product)}});
    }
    return out;
}

int ListPorts(const CliOptions& options) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    if (options.json) {
        std::printf("%s\n", PortsJson(ports).dump().c_str());
    } else if (ports.empty()) {
        std::puts("No serial devices found.");
    } else {
        for (const SerialPortInfo& p : ports) std::puts(PortLine(p).c_str());
    }
    std::fflush(stdout);
    return UPDATE_EXIT_DONE;
}
