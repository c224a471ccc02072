// zelvar-serial-probe.exe PORT: opens the port through the Win32 serial back
// end at 38400, moves it to 115200, and closes it, pausing after each step
// until a line arrives on standard input, so that a script can look at the
// device's settings from the other side in between. Prints "open", "baud" and
// "closed" (or "failed STEP ERROR") as it goes.
#include <cstdio>

#include "platform/win32/win32.h"

namespace {

void Pause() {
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return;
}

int Report(const char* step, int ok) {
    if (ok != 0) {
        std::printf("%s\n", step);
    } else {
        std::printf("failed %s %u\n", step, Win32SerialLastError());
    }
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const SerialOps& serial = Win32SerialOps();
    if (Report("open", serial.open(argv[1], 38400)) == 0) return 1;
    Pause();
    if (Report("baud", serial.setBaud(115200)) == 0) return 1;
    Pause();
    serial.close();
    Report("closed", 1);
    return 0;
}
