// SPDX-License-Identifier: Apache-2.0
#include "base/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace zelvik {

UniqueFD openRegularFile(const std::string& path, struct stat* status) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFD();
    UniqueFD fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid()) return fd;
    // The path may have been replaced between the two looks.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFD();
    if (status != nullptr) *status = st;
    return fd;
}

namespace {

UniqueFD openRegularFileToWrite(const std::string& path, int mode) {
    // Something other than a file is not even opened: opening a device can
    // act on it.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return UniqueFD();
    UniqueFD fd(::open(path.c_str(), mode | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    // The path may have been replaced between the look and the open.
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFD();
    return fd;
}

}  // namespace

UniqueFD openRegularFileForAppending(const std::string& path) {
    return openRegularFileToWrite(path, O_WRONLY | O_APPEND);
}

UniqueFD openRegularFileForUpdate(const std::string& path) { return openRegularFileToWrite(path, O_RDWR); }

std::optional<Bytes> readRegularFile(const std::string& path, std::size_t sizeLimit) {
    struct stat st {};
    const UniqueFD fd = openRegularFile(path, &st);
    if (!fd.isValid()) return std::nullopt;
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > sizeLimit) return std::nullopt;
    return readOpenFile(fd.get(), sizeLimit);
}

std::optional<Bytes> readOpenFile(int fd, std::size_t sizeLimit) {
    Bytes data;
    // The size now is only what to make room for: the file may change.
    if (struct stat st{}; ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        data.reserve(std::min(static_cast<std::size_t>(st.st_size), sizeLimit));
    }
    std::uint8_t chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        if (static_cast<std::size_t>(n) > sizeLimit - data.size()) return std::nullopt;
        data.insert(data.end(), chunk, chunk + n);
        at += n;
    }
    return data;
}

}  // namespace zelvik
