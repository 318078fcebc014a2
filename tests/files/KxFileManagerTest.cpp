// SPDX-License-Identifier: Apache-2.0
#include "files/KxFileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/TempDir.h"

namespace zelvik {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(FileStoreSave, ReplacesWholeFileAndLeavesNoTemporaryBehind) {
    TempDir dir;
    const std::string path = dir.file("status.xml");
    writeFile(path, "an older and much longer content");
    EXPECT_EQ(0, KxFileManager().saveFile(path, bytesOf("new")));
    EXPECT_EQ("new", readFile(path));
    EXPECT_EQ(0, KxFileManager().saveFile(path, Bytes()));
    EXPECT_EQ("", readFile(path));
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(1, entries);
}

TEST(FileStoreSave, MissingDirectoryFailsAndCreatesNothing) {
    TempDir dir;
    EXPECT_EQ(14, KxFileManager().saveFile(dir.file("missing/status.xml"), bytesOf("x")));
    EXPECT_FALSE(test::exists(dir.file("missing")));
    EXPECT_EQ(14, KxFileManager().saveFile("", bytesOf("x")));
}

TEST(FileStoreSave, FailedReplacementKeepsOldContentAndCleansUp) {
    TempDir dir;
    // A directory at the target path cannot be replaced by a file.
    const std::string target = dir.file("occupied");
    std::filesystem::create_directory(target);
    writeFile(target + "/inside", "kept");
    EXPECT_EQ(14, KxFileManager().saveFile(target, bytesOf("x")));
    EXPECT_EQ("kept", readFile(target + "/inside"));
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(1, entries);
}

std::vector<std::string> entriesOf(const std::string& directory) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(directory)) names.push_back(e.path().filename());
    return names;
}

TEST(FileStoreSave, ASaveRemovesWhatSavesOfEndedProcessesLeftBeside) {
    TempDir dir;
    pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const std::string dead = dir.file(".zelvik-" + std::to_string(ended) + "-3.tmp");
    const std::string live = dir.file(".zelvik-" + std::to_string(::getpid()) + "-9.tmp");
    const std::string other = dir.file(".zelvik-" + std::to_string(ended) + "-3.tmp.kept");
    for (const std::string& name : {dead, live, other}) writeFile(name, "x");
    EXPECT_EQ(0, KxFileManager().saveFile(dir.file("status.xml"), bytesOf("new")));
    EXPECT_FALSE(test::exists(dead));
    EXPECT_TRUE(test::exists(live));
    EXPECT_TRUE(test::exists(other));
}

TEST(FileStoreSave, OnlyAFileIsReplaced) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(14, KxFileManager().saveFile(fifo, bytesOf("x")));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(1u, entriesOf(dir.path()).size());
}

TEST(FileStoreSave, NewFileGetsPlainPermissionsUnderTheUmask) {
    TempDir dir;
    const mode_t old = ::umask(027);
    EXPECT_EQ(0, KxFileManager().saveFile(dir.file("f"), bytesOf("x")));
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(0, ::stat(dir.file("f").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST(FileStoreRead, OnlyReadableRegularFilesAreReadOrExistAndNothingElseIsOpened) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0600));  // opening it to read would block
    struct Case {
        std::string path;
        bool readable;
    };
    const Case cases[] = {
        {dir.file("empty"), true}, {dir.path(), false},  {dir.file("missing"), false},
        {dir.file("fifo"), false}, {"/dev/zero", false}, {"/dev/null", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.readable, KxFileManager().checkExistenceOfFile(c.path));
        std::optional<Bytes> content = KxFileManager().copyReadFile(c.path);
        EXPECT_EQ(c.readable, content.has_value());
        if (content) {
            EXPECT_TRUE(content->empty());
        }
    }
}

TEST(FileStoreRead, SizeLimitRefusesLargerFilesWithoutReadingThem) {
    TempDir dir;
    writeFile(dir.file("f"), "12345");
    EXPECT_TRUE(KxFileManager().copyReadFile(dir.file("f"), 5).has_value());
    EXPECT_FALSE(KxFileManager().copyReadFile(dir.file("f"), 4).has_value());
    // A sparse 3 GiB file: existence and refusal both come at once.
    const std::string big = dir.file("big");
    writeFile(big, "");
    std::filesystem::resize_file(big, 3ULL << 30);
    EXPECT_TRUE(KxFileManager().checkExistenceOfFile(big));
    EXPECT_FALSE(KxFileManager().copyReadFile(big, 1u << 20).has_value());
}

TEST(FileStoreRead, UnreadableFileCountsAsAbsent) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    writeFile(dir.file("secret"), "x");
    ::chmod(dir.file("secret").c_str(), 0);
    EXPECT_FALSE(KxFileManager().checkExistenceOfFile(dir.file("secret")));
    EXPECT_FALSE(KxFileManager().copyReadFile(dir.file("secret")).has_value());
}

TEST(FileStoreDelete, RemovesFilesAndTreesButNeverFollowsLinks) {
    TempDir dir;
    EXPECT_EQ(13, KxFileManager().deleteFile(dir.file("missing")));

    writeFile(dir.file("f"), "x");
    EXPECT_EQ(0, KxFileManager().deleteFile(dir.file("f")));
    EXPECT_FALSE(test::exists(dir.file("f")));

    std::filesystem::create_directories(dir.file("tree/sub"));
    writeFile(dir.file("tree/sub/a"), "a");
    std::filesystem::create_directory(dir.file("outside"));
    writeFile(dir.file("outside/keep"), "keep");
    std::filesystem::create_directory_symlink(dir.file("outside"), dir.file("tree/link"));
    EXPECT_EQ(0, KxFileManager().deleteFile(dir.file("tree")));
    EXPECT_FALSE(test::exists(dir.file("tree")));
    EXPECT_EQ("keep", readFile(dir.file("outside/keep")));

    std::filesystem::create_directory_symlink(dir.file("outside"), dir.file("top-link"));
    EXPECT_EQ(0, KxFileManager().deleteFile(dir.file("top-link")));
    EXPECT_EQ("keep", readFile(dir.file("outside/keep")));
}

TEST(FileStoreSize, SizesAreSixtyFourBit) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    EXPECT_EQ(0, KxFileManager().getFileSize(dir.file("empty")));
    EXPECT_EQ(-1, KxFileManager().getFileSize(dir.file("missing")));
    // A sparse file of 3 GiB costs no disk space.
    const std::string big = dir.file("big");
    writeFile(big, "");
    std::filesystem::resize_file(big, 3ULL << 30);
    EXPECT_EQ(3LL << 30, KxFileManager().getFileSize(big));
}

}  // namespace
}  // namespace zelvik
