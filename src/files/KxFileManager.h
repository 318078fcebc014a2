// SPDX-License-Identifier: Apache-2.0
// The file store: reads, writes, tests, deletes and measures files by path.
// It keeps no state between calls and may be used from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace zelvik {

class KxFileManager {
public:
    static constexpr int kDeleteFailed = 13;
    static constexpr int kSaveFailed = 14;

    KxFileManager() = default;

    // The whole content of a regular file; nothing when it cannot be read
    // (missing, unreadable, not a regular file) or holds more than
    // `sizeLimit` bytes. A FIFO or a device is never opened.
    std::optional<Bytes> copyReadFile(const std::string& path, std::size_t sizeLimit = SIZE_MAX) const;

    // Replaces the file at `path` whole, atomically: readers see the old
    // content or all of the new one, never a part. A process killed while
    // it creates a file leaves no temporary file (where the file system has
    // unnamed files); one killed in the last moment of a replacement may
    // leave one, which the next save in that directory removes. A device,
    // FIFO or socket at the path is not replaced.
    // 0, or 14 on failure (the file at the path is then as it was). The
    // new file's mode is `mode` less the umask: 0666 less the umask, as any
    // plain new file, unless a caller keeps a file private.
    int saveFile(const std::string& path, const Bytes& savedData, unsigned mode = 0666) const;

    // True exactly when the path names a regular file that can be opened
    // for reading; its content is not read.
    bool checkExistenceOfFile(const std::string& path) const;

    // True when anything at all is at the path: a file of any kind, one
    // this user may not read, a directory, a FIFO, a symbolic link (not
    // followed, so one that leads nowhere counts too).
    bool checkExistenceOfItem(const std::string& path) const;

    // Removes the item at the path; a directory with its contents. A
    // symbolic link is removed, never followed. 0, or 13 on failure.
    int deleteFile(const std::string& path) const;

    // The size in bytes of the file (symbolic links followed); -1 when its
    // status cannot be had.
    std::int64_t getFileSize(const std::string& path) const;
};

}  // namespace zelvik
