// Text from outside made fit for a terminal line, and measured in columns.
#include <gtest/gtest.h>

#include "link/terminal_text.h"

namespace gimbal {
namespace {

TEST(TerminalText, ControlsAndBrokenUtf8AreEscapedEverythingElseKept) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"a\nb\tc\rd\x1b[2J", "a\\nb\\tc\\rd\\e[2J"},
        {std::string("\x00\x07\x7f", 3), "\\x00\\x07\\x7F"},
        {"\xc2\x9b" "31m", "\\u009B31m"},                             // C1 CSI
        {"\xe2\x80\xae" "gpj.exe", "\\u202Egpj.exe"},                 // right-to-left override
        {"\xe2\x80\xa8", "\\u2028"},                                  // line separator
        {"\xff\xfe", "\\xFF\\xFE"},                                   // not UTF-8
        {"\xc0\xaf", "\\xC0\\xAF"},                                   // overlong '/'
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                          // a surrogate
        {"\xe5\x8d\x87", "\xe5\x8d\x87"},                             // 升 kept
        {"\xe4\xba\x91\xe5\x8f", "\xe4\xba\x91\\xE5\\x8F"},           // cut in the middle
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},                     // an emoji kept
    };
    for (const auto& c : cases) {
        EXPECT_EQ(terminalSafe(c.in), c.out) << c.in;
        EXPECT_EQ(terminalSafe(terminalSafe(c.in)), c.out) << "escaping twice changes nothing";
    }
}

TEST(TerminalText, WidthCountsColumnsAndCutsBetweenCharacters) {
    EXPECT_EQ(displayWidth("ttyUSB0"), 7u);
    EXPECT_EQ(displayWidth("云台 A"), 6u);
    EXPECT_EQ(displayWidth("e\xcc\x81"), 1u);  // e + combining acute
    EXPECT_EQ(displayWidth("\xf0\x9f\x98\x80"), 2u);
    EXPECT_EQ(cutToWidth("云台云台", 5), "云台");
    EXPECT_EQ(cutToWidth("云台云台", 4), "云台");
    EXPECT_EQ(cutToWidth("ab云", 3), "ab");
    EXPECT_EQ(cutToWidth("abc", 10), "abc");
    EXPECT_EQ(cutToWidth("e\xcc\x81x", 1), "e\xcc\x81");
}

}  // namespace
}  // namespace gimbal
