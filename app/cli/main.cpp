// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/cli/shell.h"

int main(int argc, char** argv) {
    // A descriptor 0-2 started closed would be taken by the first file opened
    // (the port lock, the serial line), and the progress and messages written
    // onto the receiver's line: hold them on /dev/null first.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened != fd && opened >= 0) close(opened);
        }
    }
    return RunShell(argc, argv);
}
