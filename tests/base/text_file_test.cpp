#include "base/text_file.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::base {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(TextFile, ScansFindTextWhereverItFallsBetweenPieces) {
    TempDir dir;
    std::string path = dir / "system.reg";
    const std::string needle = "[Software\\\\Valve\\\\Steam]";
    for (size_t at : {size_t{0}, size_t{32768} - 30, size_t{32768} - 10, size_t{32768} - 1,
                      size_t{32768}, size_t{65536} + 3}) {
        std::string text(at, 'x');
        text += needle + "\n" + std::string(100, 'z');
        write_text(path, text);
        bool found = false;
        EXPECT_EQ(file_contains(path, needle, found), 0);
        EXPECT_TRUE(found) << at;
        text.replace(at + 3, 1, "?");
        write_text(path, text);
        EXPECT_EQ(file_contains(path, needle, found), 0);
        EXPECT_FALSE(found) << at;
    }
    bool found = true;
    EXPECT_EQ(file_contains(dir / "missing", needle, found), ENOENT);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(file_contains(dir / "fifo", needle, found), EINVAL);  // returns, never blocks
}

}  // namespace
}  // namespace pelto::base
