#include "files/KxFileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST(FileStoreSave, NewFileGetsPlainPermissionsUnderTheUmask) {
    TempDir dir;
    const mode_t old = ::umask(027);
    EXPECT_EQ(0, KxFileManager().saveFile(dir.file("f"), bytesOf("x")));
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(0, ::stat(dir.file("f").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST(FileStoreRead, EmptyFileIsAnEmptyBufferAndDirectoriesAndMissingAreNothing) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    ASSERT_TRUE(KxFileManager().copyReadFile(dir.file("empty")).has_value());
    EXPECT_TRUE(KxFileManager().copyReadFile(dir.file("empty"))->empty());
    EXPECT_FALSE(KxFileManager().copyReadFile(dir.path()).has_value());
    EXPECT_FALSE(KxFileManager().copyReadFile(dir.file("missing")).has_value());

    EXPECT_TRUE(KxFileManager().checkExistenceOfFile(dir.file("empty")));
    EXPECT_FALSE(KxFileManager().checkExistenceOfFile(dir.path()));
    EXPECT_FALSE(KxFileManager().checkExistenceOfFile(dir.file("missing")));
}

TEST(FileStoreRead, UnreadableFileCountsAsAbsent) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    writeFile(dir.file("secret"), "x");
    ::chmod(dir.file("secret").c_str(), 0);
    EXPECT_FALSE(KxFileManager().checkExistenceOfFile(dir.file("secret")));
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
