// The shipped Steam bridge steam.exe under the real Wine, behind the built pelto: it starts the
// game by a Unix path or a Windows path, hands it the raw tail of its command line, and names
// a game it cannot start on standard error with a non-zero exit code.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::read_text;
using testing::RunResult;

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// "arg[i] unix=HEX" of every line the game printed for print-args: the bytes it received.
std::string unix_columns(const std::string& out) {
    std::string columns;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t unix_at = line.find(" unix=");
        size_t text_at = line.find(" text=");
        if (line.rfind("arg[", 0) != 0 || unix_at == std::string::npos || text_at < unix_at)
            continue;
        columns += line.substr(0, line.find(' ')) + line.substr(unix_at, text_at - unix_at) + "\n";
    }
    return columns;
}

class Bridge : public testing::WineTest {
protected:
    // pelto waitforexitandrun EXE ARGS..., with EXE as given (a Unix or a Windows path).
    RunResult run(const std::string& exe, const std::vector<std::string>& game_args) const {
        std::vector<std::string> args = {"waitforexitandrun", exe};
        args.insert(args.end(), game_args.begin(), game_args.end());
        return testing::run_program(wine->pelto(), args, wine->env());
    }
};

TEST_F(Bridge, StartsTheGameByEitherPathWithTheRawArgumentTail) {
    // Quotes and backslashes in every position the C runtime's rules care about.
    std::vector<std::string> args = {"\"",          "\\\"",
                                     "a\\\\\"b c",  "end\\",
                                     "end\\\\",     "\\\\server\\share",
                                     "two  spaces", "it's \"quoted\"",
                                     "exit",        "9"};
    std::vector<std::string> game_args = {"print-args"};
    game_args.insert(game_args.end(), args.begin(), args.end());
    for (const std::string& exe : {wine->game_exe(), testing::z_drive_path(wine->game_exe())}) {
        RunResult result = run(exe, game_args);
        EXPECT_EQ(result.exit_code(), 0) << exe << "\n" << result.err;
        std::string expected;
        for (size_t i = 0; i < args.size(); ++i)
            expected += "arg[" + std::to_string(i) + "] unix=" + hex_of(args[i]) + "\n";
        std::string printed = unix_columns(read_text("/tmp/pelto/wine_stdout.log"));
        EXPECT_EQ(printed, expected) << exe;
    }

    // The exit code comes back through the bridge, whichever path started the game.
    EXPECT_EQ(run(testing::z_drive_path(wine->game_exe()), {"exit", "4"}).exit_code(), 4);
}

TEST_F(Bridge, AGameThatCannotStartIsNamedWithItsWindowsError) {
    std::string missing = wine->root() + "/games/Test Game/missing.exe";
    struct Case {
        std::string exe;
        std::string line;
    };
    for (const Case& c :
         {Case{missing, "steam.exe: cannot start " + missing + " (" +
                            testing::z_drive_path(missing) + "): File not found (Windows error 2)"},
          Case{"C:\\Games\\nothing.exe",
               "steam.exe: cannot start C:\\Games\\nothing.exe: Path not found (Windows error "
               "3)"}}) {
        RunResult result = run(c.exe, {"exit", "0"});
        EXPECT_EQ(result.exit_code(), 1) << c.exe << "\n" << result.err;
        std::string log = read_text("/tmp/pelto/wine_stderr.log");
        EXPECT_EQ(log.rfind(c.line + "\n", 0), 0u) << log;
    }
}

}  // namespace
}  // namespace pelto
