// SPDX-License-Identifier: Apache-2.0
// `zelvar --list-ports`: the serial devices the kernel knows, as lines for
// people or, with --json, one array for scripts. Nothing is opened.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/cli/options.h"
#include "platform/posix/port_list.h"

// One line per port: the device, then what is known of it.
std::string PortLine(const SerialPortInfo& port);
// One object per port: device, driver, vendor_id, product_id, serial,
// manufacturer, product (null where unknown).
nlohmann::json PortsJson(const std::vector<SerialPortInfo>& ports);

// Prints the machine's ports on stdout as options asks; returns the status.
int ListPorts(const CliOptions& options);
