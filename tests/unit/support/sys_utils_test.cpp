// File sizes of UTF-8 paths, and code-page texts that name no file.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "support/sys_utils.h"

namespace {

using namespace USB;

TEST(Paths, FileSizesOfUtf8Paths)
{
    Fake::Platform platform;
    const std::string base = platform.root + kPathSep;
    Fake::WriteFile(base + "ten.txt", "0123456789");
    EXPECT_EQ(GetFileSize64(base + "ten.txt"), 10);
    EXPECT_EQ(GetFileSize64(base + "missing.txt"), -1);
    // A code-page text is no UTF-8 path: it names nothing and throws nothing.
    EXPECT_EQ(GetFileSize64(base + "missing\xE9\xFF.txt"), -1);
    EXPECT_FALSE(FileExists(base + "missing\xE9\xFF.txt"));
}

}  // namespace
