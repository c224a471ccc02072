// SPDX-License-Identifier: Apache-2.0
#include "app/cli/shell.h"

#include "app/cli/list_ports.h"
#include "app/cli/options.h"
#include "app/cli/several_ports.h"

int RunShell(int argc, char** argv) {
    CliOptions options;
    if (const int status = ParseOptions(argc, argv, &options); status >= 0) return status;
    if (options.listPorts) return ListPorts(options);
    if (options.ports.size() > 1) return RunSeveralPorts(options);
    return RunSession(options);
}
