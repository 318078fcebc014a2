// SPDX-License-Identifier: Apache-2.0
#include "files/KxFileManager.h"

#include "base/Files.h"
#include "base/UniqueFD.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <string_view>

namespace zelvik {
namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A unique name beside `path` for a file of this process.
std::string temporaryNameBeside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    // pid and counter make the name unique among live processes; a leftover
    // of a dead process with a reused pid is stepped over by the caller.
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "/.zelvik-%ld-%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
    return directoryOf(path) + suffix;
}

// Creates a new, uniquely named file beside `path`, with `mode` less the
// umask.
int createTemporaryBeside(const std::string& path, std::string* name, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = temporaryNameBeside(path);
        int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes the whole content and makes it durable.
bool writeDurably(int fd, const Bytes& data) { return writeAll(fd, data.data(), data.size()) && ::fsync(fd) == 0; }

enum class Saved { Done, Failed, Unsupported };

// The save through a file that has no name until it is complete: a process
// killed at any moment before the last step leaves nothing behind. The
// finished file gets the target's name at once when there is none yet, and
// otherwise a unique name that the final rename replaces the target with.
Saved saveThroughUnnamedFile(const std::string& path, const Bytes& savedData, mode_t mode) {
    UniqueFD fd(::open(directoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        // File systems without unnamed files say so in one of these ways.
        return (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) ? Saved::Unsupported : Saved::Failed;
    }
    if (!writeDurably(fd.get(), savedData)) return Saved::Failed;
    // Naming an open file needs no privilege through its /proc link.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get());
    if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return Saved::Done;
    // Without /proc the link cannot be made: the directory itself was there.
    if (errno == ENOENT) return Saved::Unsupported;
    if (errno != EEXIST) return Saved::Failed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryNameBeside(path);
        if (::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST) continue;
            return Saved::Failed;
        }
        if (::rename(name.c_str(), path.c_str()) == 0) return Saved::Done;
        ::unlink(name.c_str());
        return Saved::Failed;
    }
    return Saved::Failed;
}

// The save through a named temporary file, where unnamed files are not
// available: a kill inside it can leave the temporary file.
int saveThroughNamedFile(const std::string& path, const Bytes& savedData, mode_t mode) {
    std::string name;
    UniqueFD fd(createTemporaryBeside(path, &name, mode));
    if (fd.get() < 0) return KxFileManager::kSaveFailed;
    bool ok = writeDurably(fd.get(), savedData);
    ok = (::close(fd.release()) == 0) && ok;
    if (ok && ::rename(name.c_str(), path.c_str()) == 0) return 0;
    ::unlink(name.c_str());
    return KxFileManager::kSaveFailed;
}

// Removes the temporary names that saves of processes now gone left beside
// `path`. Replacing a file takes a name for the finished content until the
// final rename, and a process killed between the two keeps no step of its
// own to take it away; the first save of a later process in that directory
// does. A file of a live process, or of one that cannot be told, is left
// alone. Each directory is looked through once per process: the saves that
// follow (a progress figure every second) add no scan of it.
void removeLeftoversBeside(const std::string& path) {
    static std::mutex mutex;
    static std::set<std::string> lookedThrough;
    const std::string folder = directoryOf(path);
    {
        std::lock_guard lock(mutex);
        if (!lookedThrough.insert(folder).second) return;
    }
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return;
    while (const dirent* entry = ::readdir(directory)) {
        long pid = 0;
        unsigned counter = 0;
        int end = 0;
        if (std::sscanf(entry->d_name, ".zelvik-%ld-%u.tmp%n", &pid, &counter, &end) != 2 || end == 0 ||
            entry->d_name[end] != '\0' || pid <= 0)
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlinkat(::dirfd(directory), entry->d_name, 0);
    }
    ::closedir(directory);
}

int removeEntry(const char* path, const struct stat*, int typeflag, struct FTW*) {
    return typeflag == FTW_DP ? ::rmdir(path) : ::unlink(path);
}

}  // namespace

std::optional<Bytes> KxFileManager::copyReadFile(const std::string& path, std::size_t sizeLimit) const {
    return readRegularFile(path, sizeLimit);
}

int KxFileManager::saveFile(const std::string& path, const Bytes& savedData, unsigned mode) const {
    if (path.empty()) return kSaveFailed;
    // Only a file takes the place of a file: a device, a FIFO or a socket at
    // the path is never replaced (a directory cannot be).
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return kSaveFailed;
    removeLeftoversBeside(path);
    // The new content is written beside the target, so that the final step
    // stays on one file system and is atomic.
    const auto permissions = static_cast<mode_t>(mode & 07777);
    switch (saveThroughUnnamedFile(path, savedData, permissions)) {
        case Saved::Done: return 0;
        case Saved::Failed: return kSaveFailed;
        case Saved::Unsupported: return saveThroughNamedFile(path, savedData, permissions);
    }
    return kSaveFailed;
}

bool KxFileManager::checkExistenceOfFile(const std::string& path) const {
    // Whether it can be read is answered by opening it: the content is
    // never read, so its size and kind cost nothing.
    return openRegularFile(path).isValid();
}

bool KxFileManager::checkExistenceOfItem(const std::string& path) const {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

int KxFileManager::deleteFile(const std::string& path) const {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) return kDeleteFailed;
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : kDeleteFailed;
    // Depth-first, never crossing a symbolic link or a mount point.
    return ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0 ? 0 : kDeleteFailed;
}

std::int64_t KxFileManager::getFileSize(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

}  // namespace zelvik
