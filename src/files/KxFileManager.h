// The file store: reads, writes, tests, deletes and measures files by path.
// It keeps no state between calls and may be used from several threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "files/Bytes.h"

namespace zelvik {

class KxFileManager {
public:
    static constexpr int kDeleteFailed = 13;
    static constexpr int kSaveFailed = 14;

    KxFileManager() = default;

    // The whole content of a regular file; nothing when it cannot be read
    // (missing, unreadable, a directory).
    std::optional<Bytes> copyReadFile(const std::string& path) const;

    // Replaces the file at `path` whole, atomically: readers see the old
    // content or all of the new one, never a part. 0, or 14 on failure (the
    // file at the path is then as it was).
    int saveFile(const std::string& path, const Bytes& savedData) const;

    // True exactly when the whole file can be read.
    bool checkExistenceOfFile(const std::string& path) const;

    // Removes the item at the path; a directory with its contents. A
    // symbolic link is removed, never followed. 0, or 13 on failure.
    int deleteFile(const std::string& path) const;

    // The size in bytes of the file (symbolic links followed); -1 when its
    // status cannot be had.
    std::int64_t getFileSize(const std::string& path) const;
};

}  // namespace zelvik
