// Command line of quenlo-flash: what it accepts and what it refuses.
#include <gtest/gtest.h>

#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/options.h"

namespace flash {
namespace {

TEST(FlashOptions, TakesPortsRateWaitJsonAndOneFile) {
    const auto r = parseOptions({"--port", "/dev/ttyUSB0", "--port=/dev/ttyUSB1", "--baud", "230400", "--wait=1.5",
                                 "--json", "fw.bin", "--three-axis"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(dialectOf(*r.options), engine::Dialect::threeAxis());
    EXPECT_EQ(r.options->ports, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(r.options->baud, 230400u);
    EXPECT_EQ(r.options->wait, std::chrono::milliseconds(1500));
    EXPECT_TRUE(r.options->json);
    EXPECT_EQ(r.options->file, "fw.bin");
}

TEST(FlashOptions, DefaultsAndAFileThatLooksLikeAnOptionAfterDoubleDash) {
    const auto r = parseOptions({"--port", "/dev/ttyACM0", "--", "-odd-name.bin"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->baud, 115200u);
    EXPECT_EQ(r.options->wait, std::chrono::seconds(10));
    EXPECT_FALSE(r.options->json);
    EXPECT_EQ(dialectOf(*r.options), engine::Dialect::pages());
    EXPECT_EQ(r.options->file, "-odd-name.bin");
}

// As before: a repeated value keeps the last, and a leading zero is not octal.
TEST(FlashOptions, RepeatedValuesKeepTheLastAndNumbersAreDecimal) {
    const auto r =
        parseOptions({"--port", "/dev/a", "--baud", "9600", "--baud", "0115200", "--wait", "1", "--wait", "2", "f"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->baud, 115200u);
    EXPECT_EQ(r.options->wait, std::chrono::seconds(2));
}

TEST(FlashOptions, HelpNeedsNothingElse) {
    const auto r = parseOptions({"--help"});
    ASSERT_TRUE(r.options);
    EXPECT_TRUE(r.options->help);
}

TEST(FlashOptions, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "no firmware file"},
        {{"--port", "/dev/a"}, "no firmware file"},
        {{"--port", "/dev/a", "a.bin", "b.bin"}, "exactly one"},
        {{"a.bin"}, "no --port"},
        {{"--port", "/dev/a", "--port", "/dev/a", "f"}, "twice"},
        {{"--port", "/dev/null", "--port", "/dev/../dev/null", "f"},
         "ports /dev/null and /dev/../dev/null are the same device (/dev/null)"},
        {{"--port"}, "needs a value"},
        {{"--port=", "f"}, "needs a path"},
        {{"--port", "/dev/a", "--baud", "0", "f"}, "--baud"},
        {{"--port", "/dev/a", "--baud", "fast", "f"}, "--baud"},
        {{"--port", "/dev/a", "--baud", "4000001", "f"}, "--baud"},
        {{"--port", "/dev/a", "--baud", "-5", "f"}, "--baud"},
        {{"--port", "/dev/a", "--wait", "0", "f"}, "--wait"},
        {{"--port", "/dev/a", "--wait", "-1", "f"}, "--wait"},
        {{"--port", "/dev/a", "--wait", "nan", "f"}, "--wait"},
        {{"--port", "/dev/a", "--wait", "99999999", "f"}, "--wait"},
        {{"--port", "/dev/a", "--wait", "3s", "f"}, "--wait"},
        {{"--port", "/dev/a", "--verbosity", "f"}, "unknown option --verbosity"},
        {{"--port", "/dev/a", "-q", "-v", "f"}, "--quiet and --verbose cannot be used together"},
        {{"--watch", "--port", "/dev/a", "f"}, "--watch takes no --port"},
        {{"--watch", "--list"}, "--watch and --list"},
        {{"--watch"}, "no firmware file"},
        {{"--port", "/dev/a", "--log", "bench.jsonl", "f"}, "--log is for --watch"},
    };
    for (const auto& [args, expected] : cases) {
        const auto r = parseOptions(args);
        EXPECT_FALSE(r.options) << expected;
        EXPECT_NE(r.error.find(expected), std::string::npos) << r.error;
    }
}

TEST(FlashOptions, HelpDocumentsEveryExitCodeAndTheSeveralPortsRule) {
    const std::string help = helpText();
    for (int code = 0; code <= 7; ++code)
        EXPECT_NE(help.find("\n  " + std::to_string(code) + "  "), std::string::npos) << code;
    EXPECT_NE(help.find("first port"), std::string::npos);
    EXPECT_NE(help.find("send Failed"), std::string::npos);
    EXPECT_NE(help.find("dismiss an alert"), std::string::npos);
    EXPECT_EQ(toInt(ExitCode::Usage), 2);
}

}  // namespace
}  // namespace flash
