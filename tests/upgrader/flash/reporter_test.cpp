// What quenlo-flash prints: text lines, plain progress, JSON lines.
#include <gtest/gtest.h>

#include <sstream>

#include "link/terminal_text.h"
#include "upgrader/flash/live_line.h"
#include "upgrader/flash/reporter.h"

namespace flash {
namespace {

TEST(FlashReporter, JsonStringsEscapeQuotesBackslashesAndControlsButKeepUtf8) {
    EXPECT_EQ(jsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(jsonString("升级完成"), "\"升级完成\"");
}

TEST(FlashReporter, PlainProgressIsOneLinePerTenPercentAndTheEnd) {
    std::ostringstream out, err;
    Reporter r(out, err, OutputForm::Text);
    for (int p : {0, 3, 9, 10, 10, 55, 99, 100}) r.progress("/dev/x", p);
    EXPECT_EQ(out.str(),
              "/dev/x: progress 0%\n/dev/x: progress 10%\n/dev/x: progress 55%\n/dev/x: progress 99%\n"
              "/dev/x: progress 100%\n");
}

TEST(FlashReporter, TerminalBarRedrawsInPlaceAndEndsBeforeTheNextLine) {
    std::ostringstream out, err;
    Reporter r(out, err, OutputForm::Terminal);
    r.progress("/dev/x", 50);
    r.status("/dev/x", "Upgrade Complete!!");
    const std::string s = out.str();
    EXPECT_EQ(s.rfind("\r/dev/x [###############               ] 50%", 0), 0u) << s;
    EXPECT_NE(s.find("\n/dev/x: Upgrade Complete!!\n"), std::string::npos) << s;
}

// A single run showed only a bar: a long wait for the gimbal looked like a
// hang. The live line says where, how fast, how long is left, and what it
// waits for once that passes 2 s; only a terminal gets it.
TEST(FlashReporter, TheLiveLineTellsWhereRateTimeLeftAndALongWait) {
    using std::chrono::milliseconds;
    const LiveStand page3{0, 3, 64, 3, 160};
    const LiveStand switching{1, 32, 32, 96, 160};
    const struct {
        LiveStand stand;
        milliseconds elapsed, waited;
        std::string text;
    } cases[] = {
        {{0, 0, 64, 0, 160}, milliseconds(100), milliseconds(100), "MCU 0, page 0 of 64  0.1 s"},
        {page3, milliseconds(1500), milliseconds(2000), "MCU 0, page 3 of 64  1.5 s  2.0 pages/s  about 79 s left"},
        {page3, milliseconds(14500), milliseconds(12900),
         "MCU 0, page 3 of 64  14.5 s  0.2 pages/s  about 759 s left  waiting for page 3's acknowledgement (12 s of 30)"},
        {switching, milliseconds(48000), milliseconds(2500),
         "MCU 1, page 32 of 32  48.0 s  2.0 pages/s  about 32 s left  waiting for the switch acknowledgement after MCU 1 "
         "(2 s of 30)"},
    };
    for (const auto& c : cases) EXPECT_EQ(liveLineText(c.stand, c.elapsed, c.waited, milliseconds(30000)), c.text);

    for (const OutputForm form : {OutputForm::Text, OutputForm::Terminal, OutputForm::Json}) {
        std::ostringstream out, err;
        Reporter r(out, err, form);
        r.progress("/dev/x", 2);
        r.live("/dev/x", "MCU 0, page 3 of 64  1.5 s");
        const bool shown = out.str().find("] 2%  MCU 0, page 3 of 64  1.5 s  \033[K") != std::string::npos;
        EXPECT_EQ(shown, form == OutputForm::Terminal) << out.str();
    }
}

TEST(FlashReporter, JsonEventsAreOneObjectPerLine) {
    std::ostringstream out, err;
    Reporter r(out, err, OutputForm::Json);
    r.failure("/dev/\"q\"", ExitCode::PortError, "open /dev/q: Permission denied");
    r.summary("/dev/\"q\"", ExitCode::PortError, "x");
    EXPECT_EQ(out.str(),
              "{\"event\":\"error\",\"port\":\"/dev/\\\"q\\\"\",\"code\":4,\"kind\":\"port-error\","
              "\"text\":\"open /dev/q: Permission denied\"}\n"
              "{\"event\":\"summary\",\"port\":\"/dev/\\\"q\\\"\",\"ok\":false,\"code\":4,\"kind\":\"port-error\","
              "\"text\":\"x\"}\n");
}

// Received bytes read as text may hold any control: shown raw they could
// clear the terminal or forge a line. An error line ends the progress bar
// first, since both streams often share one terminal.
TEST(FlashReporter, DiagnosticsShowOnlyWhenVerboseWithControlsEscapedAndEndTheBar) {
    const std::string text = "\x1b[2J\rforged\nline\xc2\x9b\x7f \xe5\x8d\x87";
    std::ostringstream out, err;
    Reporter normal(out, err, OutputForm::Text);
    normal.diagnostic("/dev/x", text);
    EXPECT_EQ(err.str(), "");

    Reporter verbose(out, err, OutputForm::Terminal, Detail::Verbose);
    verbose.progress("/dev/x", 50);
    verbose.diagnostic("/dev/x", text);
    EXPECT_EQ(err.str(), "/dev/x: \\e[2J\\rforged\\nline\\u009B\\x7F \xe5\x8d\x87\n");
    EXPECT_EQ(out.str().back(), '\n') << "the bar is ended before the line";
}

// A device or file name is any bytes; the line must stay JSON a script can read.
TEST(FlashReporter, InvalidUtf8InAPortOrFileNameIsReplacedNotPassedOn) {
    std::ostringstream out, err;
    Reporter r(out, err, OutputForm::Json);
    r.status("/dev/serial/by-id/usb-\xff\xfe", "Gimbal Connected");
    r.fileRefused("fw\xc3.bin", "升级 fw\xc3.bin");
    EXPECT_EQ(out.str(),
              "{\"event\":\"status\",\"port\":\"/dev/serial/by-id/usb-\xef\xbf\xbd\xef\xbf\xbd\","
              "\"text\":\"Gimbal Connected\"}\n"
              "{\"event\":\"error\",\"file\":\"fw\xef\xbf\xbd.bin\",\"code\":3,\"kind\":\"refused-file\","
              "\"text\":\"升级 fw\xef\xbf\xbd.bin\"}\n");
}

// Port, link and file names, lock-file text and USB strings come from
// outside: in every text line they are shown escaped, so none can clear the
// screen, retitle the terminal or forge a line of its own (a "summary:"
// line a script would believe). Columns are laid out by display width.
TEST(FlashReporter, OutsideTextInEveryTextLineIsEscapedAndLaidOutByWidth) {
    const std::string hostile = "/tmp/no\x1b[2Jpe\nsummary: /dev/ttyUSB9: upgraded\x1b]0;OWNED\x07\xc2\x9b";
    gimbal::PortDiagnosis busy;
    busy.cause = gimbal::PortCause::Busy;
    busy.text = hostile + " is in use by " + hostile;
    busy.hint = "close " + hostile;
    for (const OutputForm form : {OutputForm::Text, OutputForm::Terminal}) {
        std::ostringstream out, err;
        Reporter r(out, err, form);
        r.status(hostile, hostile);
        r.warning(hostile, hostile);
        r.failure(hostile, ExitCode::PortError, hostile, &busy);
        r.summary(hostile, ExitCode::PortError, hostile, &busy);
        r.fileRefused(hostile, hostile, ExitCode::RefusedFile);
        r.interrupted(hostile, "SIGTERM", ExitCode::Interrupted, std::nullopt, hostile);
        ListedPort listed;
        listed.path = listed.name = listed.manufacturer = listed.product = listed.serial = hostile;
        listed.state = busy;
        ListedPort wide;
        wide.path = "/run/user/0/serial/云台";
        wide.name = "云台";
        r.portList({listed, wide});
        const std::string all = out.str() + err.str();
        for (const char c : all)
            ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "control byte in:\n" << all;
        EXPECT_EQ(all.find("\x7f"), std::string::npos);
        EXPECT_EQ(all.find("\xc2\x9b"), std::string::npos) << all;
        EXPECT_EQ(all.find("\nsummary: /dev/ttyUSB9"), std::string::npos) << "a forged line:\n" << all;
        // The state column of both rows starts at one display column.
        const auto stateColumn = [&](const std::string& state) {
            const auto end = all.find("  " + state + "\n");
            const auto start = all.rfind('\n', end) + 1;
            return gimbal::displayWidth(all.substr(start, end - start));
        };
        EXPECT_EQ(stateColumn("free"), stateColumn("busy")) << all;
    }
}

}  // namespace
}  // namespace flash
