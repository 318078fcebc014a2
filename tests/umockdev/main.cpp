// SPDX-License-Identifier: Apache-2.0
// The emulated-kernel suite runs under umockdev's preload library, which
// redirects /sys, /dev and udev to the test bed and forwards the device
// nodes' ioctls to this process. The binary starts itself again with the
// library preloaded when it was not; programs it starts inherit it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kSkipped = 77;

bool preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

bool onlyListing(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!onlyListing(argc, argv) && !preloaded()) {
        const std::string library = UMOCKDEV_PRELOAD_LIBRARY;
        if (access(library.c_str(), R_OK) != 0) {
            std::printf("umockdev's preload library %s is missing: skipped\n", library.c_str());
            return kSkipped;
        }
        std::string preload = library;
        if (const char* earlier = std::getenv("LD_PRELOAD"); earlier && *earlier) {
            preload += ":" + std::string(earlier);
        }
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot restart under umockdev");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
