#include "files/KxFileManager.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

namespace zelvik {
namespace {

// Closes a descriptor on every path out of a scope.
class FdGuard {
public:
    explicit FdGuard(int fd) : mFd(fd) {}
    ~FdGuard() {
        if (mFd >= 0) ::close(mFd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return mFd; }
    int release() {
        int fd = mFd;
        mFd = -1;
        return fd;
    }

private:
    int mFd;
};

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

// Creates a new, uniquely named file beside `path`. Created with mode 0666
// so that the kernel applies the umask, as for any plain new file.
int createTemporaryBeside(const std::string& path, std::string* name) {
    static std::atomic<unsigned> counter{0};
    const std::string directory = directoryOf(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        // pid and counter make the name unique among live processes; a
        // leftover of a dead process with a reused pid is stepped over.
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, "/.zelvik-%ld-%u.tmp", static_cast<long>(::getpid()),
                      counter.fetch_add(1));
        *name = directory + suffix;
        int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int removeEntry(const char* path, const struct stat*, int typeflag, struct FTW*) {
    return typeflag == FTW_DP ? ::rmdir(path) : ::unlink(path);
}

}  // namespace

std::optional<Bytes> KxFileManager::copyReadFile(const std::string& path) const {
    FdGuard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;

    Bytes data;
    if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t chunk[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

int KxFileManager::saveFile(const std::string& path, const Bytes& savedData) const {
    if (path.empty()) return kSaveFailed;
    // The temporary file lives beside the target so that the final rename
    // stays on one file system and is atomic.
    std::string name;
    FdGuard fd(createTemporaryBeside(path, &name));
    if (fd.get() < 0) return kSaveFailed;

    bool ok = writeAll(fd.get(), savedData.data(), savedData.size()) && ::fsync(fd.get()) == 0;
    ok = (::close(fd.release()) == 0) && ok;
    if (ok && ::rename(name.c_str(), path.c_str()) == 0) return 0;
    ::unlink(name.c_str());
    return kSaveFailed;
}

bool KxFileManager::checkExistenceOfFile(const std::string& path) const {
    return copyReadFile(path).has_value();
}

int KxFileManager::deleteFile(const std::string& path) const {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) return kDeleteFailed;
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : kDeleteFailed;
    // Depth-first, never crossing a symbolic link or a mount point.
    return ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0
               ? 0
               : kDeleteFailed;
}

std::int64_t KxFileManager::getFileSize(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

}  // namespace zelvik
