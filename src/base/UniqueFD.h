// SPDX-License-Identifier: Apache-2.0
// The one owner of a file descriptor: closed when the owner goes, handed on
// by moving, given up by release().
#pragma once

#include <unistd.h>

#include <utility>

namespace zelvik {

class UniqueFD {
public:
    UniqueFD() = default;
    explicit UniqueFD(int fd) : mFd(fd) {}
    ~UniqueFD() { reset(); }
    UniqueFD(UniqueFD&& other) noexcept : mFd(other.release()) {}
    UniqueFD& operator=(UniqueFD&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFD(const UniqueFD&) = delete;
    UniqueFD& operator=(const UniqueFD&) = delete;

    int get() const { return mFd; }
    bool isValid() const { return mFd >= 0; }
    // The descriptor, no longer owned.
    int release() { return std::exchange(mFd, -1); }
    // Closes the owned descriptor (its close status does not matter here;
    // where it does, release() and close it yourself) and takes `fd`.
    void reset(int fd = -1) {
        if (mFd >= 0) ::close(mFd);
        mFd = fd;
    }

private:
    int mFd = -1;
};

}  // namespace zelvik
