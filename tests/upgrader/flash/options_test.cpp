// Command line of quenlo-flash: what it accepts and what it refuses.
#include <gtest/gtest.h>

#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/options.h"
#include "upgrader/flash/slots.h"
#include "upgrader/flash/unit_facts.h"

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
        {{"--port", "/dev/a", "--confirm-wait", "5", "f"}, "--confirm-wait is for --expect-version"},
        {{"--port", "/dev/a", "--expect-version", "1", "--confirm-wait", "0", "f"}, "--confirm-wait"},
        {{"--watch", "--only-slots", "f"}, "--only-slots needs --slots"},
        {{"--port", "/dev/a", "--slots", "s", "--only-slots", "f"}, "--only-slots is for --watch"},
    };
    for (const auto& [args, expected] : cases) {
        const auto r = parseOptions(args);
        EXPECT_FALSE(r.options) << expected;
        EXPECT_NE(r.error.find(expected), std::string::npos) << r.error;
    }
}

// A slots file names each socket once; a port matches its own path or its
// by-path link. (The digest is checked against a known value here.)
TEST(FlashOptions, SlotsFilesAreHeldToOneLabelAndOnePathEach) {
    const std::vector<std::pair<std::string, std::string>> refused{
        {"A1\n", "s:1: wants a label and one path"},
        {"# x\nA1 /a /b\n", "s:2: wants a label and one path"},
        {"A1 tty0\n", "s:1: the path \"tty0\" is not absolute"},
        {"A1 /a\nA1 /b\n", "s:2: the label \"A1\" is given twice"},
        {"A1 /a\nA2 /a\n", "s:2: the path /a is given twice"},
        {"# none\n\n", "s: no slots in it"},
    };
    for (const auto& [text, error] : refused) EXPECT_TRUE(parseSlots(text, "s").error.starts_with(error)) << text;
    const auto read = parseSlots("A1 /dev/serial/by-path/p1 # left\n  B2\t/dev/ttyUSB9\n", "s");
    ASSERT_TRUE(read.table) << read.error;
    EXPECT_EQ(slotOf(*read.table, "/dev/ttyUSB3", "/dev/serial/by-path/p1"), "A1");
    EXPECT_EQ(slotOf(*read.table, "/dev/ttyUSB9", ""), "B2");
    EXPECT_EQ(slotOf(*read.table, "/dev/ttyUSB4", "/dev/serial/by-path/p4"), "");
    const std::string abc = "abc";
    EXPECT_EQ(sha256Hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FlashOptions, HelpDocumentsEveryExitCodeAndTheSeveralPortsRule) {
    const std::string help = helpText();
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 9})
        EXPECT_NE(help.find("\n  " + std::to_string(code) + "  "), std::string::npos) << code;
    EXPECT_NE(help.find("first port"), std::string::npos);
    EXPECT_NE(help.find("send Failed"), std::string::npos);
    EXPECT_NE(help.find("dismiss an alert"), std::string::npos);
    EXPECT_EQ(toInt(ExitCode::Usage), 2);
}

}  // namespace
}  // namespace flash
