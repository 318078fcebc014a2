// SPDX-License-Identifier: Apache-2.0
// Files named from outside: read only when regular, never blocking on
// another kind, and never more than the caller can use; appended to only
// when regular and named directly.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "base/UniqueFD.h"

namespace zelvik {

// Opens a regular file for reading; a FIFO, a device or a directory at the
// path is never opened (so opening cannot block or touch a device), and a
// path replaced between the look and the open is refused too. `status`
// gets the open file's status. An invalid descriptor when it cannot be
// read.
UniqueFD openRegularFile(const std::string& path, struct stat* status = nullptr);

// The whole content of a regular file of at most `sizeLimit` bytes (a file
// that grows past the limit while it is read too); nothing otherwise.
std::optional<Bytes> readRegularFile(const std::string& path, std::size_t sizeLimit);

// The whole content of a file open for reading, from its start, whatever
// the descriptor's offset (which is left as it is): nothing when a read
// fails or there are more than `sizeLimit` bytes.
std::optional<Bytes> readOpenFile(int fd, std::size_t sizeLimit);

// Opens a file for appending, created (mode 0600) when missing: only a
// regular file named by the path itself. A symbolic link at the path is
// never followed, and a FIFO, a device or a directory is never written (a
// FIFO without a reader cannot block the open). An invalid descriptor
// otherwise.
UniqueFD openRegularFileForAppending(const std::string& path);

// The same for reading and writing in place, without appending: created
// (mode 0600) when missing, only a regular file named by the path itself.
UniqueFD openRegularFileForUpdate(const std::string& path);

}  // namespace zelvik
