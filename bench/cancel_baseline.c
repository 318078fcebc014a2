// SPDX-License-Identifier: Apache-2.0
/* The least a processCancel run has to do with its files, as a yardstick
 * for the program's start to exit: read the command file, delete it, and
 * write the status file atomically (an unnamed file in the status file's
 * folder, written, flushed to disk with fsync, then linked into place).
 * The status file path is given on the command line, so no XML is parsed.
 *   cancel_baseline COMMAND_FILE STATUS_FILE */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char kStatus[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    <errorCode>0</errorCode>\n</statusBody>\n";

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    char buffer[65536];
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    if (unlink(argv[1]) != 0) return 1;

    char folder[4096];
    snprintf(folder, sizeof folder, "%s", argv[2]);
    fd = open(dirname(folder), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return 1;
    if (write(fd, kStatus, sizeof kStatus - 1) != (ssize_t)(sizeof kStatus - 1) || fsync(fd) != 0) return 1;
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, AT_FDCWD, argv[2], AT_SYMLINK_FOLLOW) != 0) return 1;
    close(fd);
    return 0;
}
