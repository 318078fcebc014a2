// SPDX-License-Identifier: Apache-2.0
// Reading files that come from outside: only regular files, never blocking
// on another kind, and never more than the caller can use.
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

}  // namespace zelvik
