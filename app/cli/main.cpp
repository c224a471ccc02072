#include "app/cli/shell.h"

int main(int argc, char** argv) {
    return RunShell(argc, argv);
}
