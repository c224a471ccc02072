// SPDX-License-Identifier: Apache-2.0
#include "app/cli/shell.h"

int main(int argc, char** argv) {
    return RunShell(argc, argv);
}
