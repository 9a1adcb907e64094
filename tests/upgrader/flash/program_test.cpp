// The quenlo-flash program itself, run as a child process against simulated
// gimbals on pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "tests/upgrader/support/pty.h"
#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"

namespace {

namespace fs = std::filesystem;
using flash_test::ChildResult;
using flash_test::runChild;
using Bytes = std::vector<std::uint8_t>;

using flash_test::kProgram;

using test_support::randomImage;

// A firmware file in the temporary folder, removed with the object.
struct TempFile {
    explicit TempFile(const Bytes& content, const std::string& tag) {
        path = fs::temp_directory_path() / ("quenlo-flash-" + tag + "-" + std::to_string(::getpid()) + ".bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    ~TempFile() { fs::remove(path); }
    fs::path path;
};

struct Firmware {
    std::array<Bytes, 3> images{randomImage(3, 1), randomImage(2, 2), randomImage(4, 3)};
    TempFile file{gimbal::composeFirmwareFile(images, 1024, Bytes{1, 2, 3}), "fw"};
};

std::unique_ptr<sim::GimbalSim> startGimbal(std::chrono::milliseconds announcePeriod = std::chrono::milliseconds(100),
                                            std::size_t vanishAfter = std::numeric_limits<std::size_t>::max()) {
    sim::Options options;
    options.dialect = sim::Dialect::Pages;
    options.version = 123;
    options.announcePeriod = announcePeriod;
    options.vanishAfter = vanishAfter;
    auto gimbal = std::make_unique<sim::GimbalSim>(options);
    std::string error;
    EXPECT_TRUE(gimbal->start(&error)) << error;
    return gimbal;
}

bool hasLine(const ChildResult& r, const std::string& line) {
    return std::find(r.lines.begin(), r.lines.end(), line) != r.lines.end();
}

// A JSON summary: its own fields, then the unit's record from "schema" on.
bool hasSummary(const ChildResult& r, std::string own) {
    own.back() = ',';
    return std::any_of(r.lines.begin(), r.lines.end(),
                       [&](const std::string& l) { return l.rfind(own + "\"schema\":1,", 0) == 0; });
}

bool hasErrorLine(const ChildResult& r, const std::string& line) {
    return std::find(r.errorLines.begin(), r.errorLines.end(), line) != r.errorLines.end();
}

void expectUpgraded(const ChildResult& r, const sim::GimbalSim& gimbal, const Firmware& fw) {
    const std::string port = gimbal.slavePath();
    EXPECT_TRUE(hasLine(r, port + ": Gimbal Connected, current firmware version V1.23")) << dump(r);
    EXPECT_TRUE(hasLine(r, port + ": progress 100%")) << dump(r);
    EXPECT_TRUE(hasLine(r, port + ": Upgrade Complete!!")) << dump(r);
    EXPECT_TRUE(hasLine(r, "summary: " + port + ": upgraded")) << dump(r);
    for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), fw.images[mcu]) << "MCU " << mcu;
    EXPECT_GE(gimbal.stats().enterRequests, 1u);
    EXPECT_EQ(gimbal.stats().switchRequests, 2u);
}

TEST(FlashProgram, UpgradesOnePortAndLeavesExactlyTheFileInTheGimbal) {
    const Firmware fw;
    auto gimbal = startGimbal();
    const ChildResult r = runChild(kProgram, {"--port", gimbal->slavePath(), fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    expectUpgraded(r, *gimbal, fw);
}

// A reader that goes away (`quenlo-flash ... | head -1`) must not cut the
// upgrade: it runs to its end, the exit code is the upgrade's, and the lost
// output is told once on standard error.
TEST(FlashProgram, AClosedOutputNeverStopsTheUpgrade) {
    const Firmware fw;
    for (const std::vector<std::string>& form : {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        SCOPED_TRACE(form.empty() ? "text" : form.front());
        auto gimbal = startGimbal();
        std::vector<std::string> args = form;
        args.insert(args.end(), {"--port", gimbal->slavePath(), fw.file.path.string()});
        flash_test::RunningChild flash(kProgram, args);
        flash.closeOutput();
        const ChildResult r = flash.finish(std::chrono::seconds(120));
        EXPECT_EQ(r.exitCode, 0) << dump(r);
        for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal->image(mcu), fw.images[mcu]) << "MCU " << mcu;
        std::vector<std::string> errors = r.errorLines;  // less the file's trailing-bytes warning
        std::erase_if(errors, [](const std::string& line) { return line.starts_with("warning: "); });
        EXPECT_EQ(errors,
                  std::vector<std::string>{"quenlo-flash: standard output: Broken pipe; nothing more is shown there, "
                                           "the upgrades go on"})
            << dump(r);
    }
}

TEST(FlashProgram, UpgradesTwoPortsAtOnceWithOneSummaryLineEach) {
    const Firmware fw;
    auto a = startGimbal();
    auto b = startGimbal(std::chrono::milliseconds(37));
    const ChildResult r = runChild(
        kProgram, {"--port", a->slavePath(), "--port", b->slavePath(), "--baud", "230400", fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    expectUpgraded(r, *a, fw);
    expectUpgraded(r, *b, fw);
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(), [](const auto& l) { return l.rfind("summary: ", 0) == 0; }),
              2);
}

TEST(FlashProgram, TheFirstFailingPortGivesTheCodeWhileTheOthersStillUpgrade) {
    const Firmware fw;
    auto gimbal = startGimbal();
    const std::string missing = "/nonexistent/ttyGIMBAL";
    const ChildResult r = runChild(kProgram, {"--port", gimbal->slavePath(), "--port", missing, fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 4) << dump(r);
    expectUpgraded(r, *gimbal, fw);
    const std::string gone =
        "summary: " + missing + ": failed (exit 4): " + missing + " does not exist (unplugged?). Fix: ";
    EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const auto& l) { return l.rfind(gone, 0) == 0; }))
        << dump(r);
}

TEST(FlashProgram, RefusesAShortOrInconsistentFileBeforeTouchingAnyPort) {
    auto gimbal = startGimbal();
    const TempFile tiny(Bytes{1, 2, 3}, "tiny");
    Bytes truncated =
        gimbal::composeFirmwareFile({randomImage(2, 4), randomImage(1, 5), randomImage(1, 6)}, 1024, Bytes{1, 2, 3});
    truncated.resize(truncated.size() - 3 - 10);  // the trailing bytes and part of the last page
    const TempFile shorter(truncated, "short");
    for (const auto* file : {&tiny, &shorter}) {
        const ChildResult r = runChild(kProgram, {"--port", gimbal->slavePath(), file->path.string()});
        EXPECT_EQ(r.exitCode, 3) << dump(r);
        EXPECT_TRUE(r.lines.empty()) << "the error is on standard error only: " << dump(r);
        ASSERT_EQ(r.errorLines.size(), 1u) << dump(r);
        EXPECT_EQ(r.errorLines[0].rfind("error: " + file->path.string() + ": ", 0), 0u) << dump(r);
    }
    const ChildResult missing = runChild(kProgram, {"--port", gimbal->slavePath(), "/nonexistent/fw.bin"});
    EXPECT_EQ(missing.exitCode, 3) << dump(missing);
    EXPECT_EQ(gimbal->stats().framesReceived, 0u);
}

std::string hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(v));
    return text;
}

// One bit flipped in a page: refused before the port is opened, naming both
// CRCs; --ignore-crc flashes exactly those bytes after one warning line.
TEST(FlashProgram, AFileWhoseStoredCrcFailsIsRefusedUnlessIgnoreCrcIsGiven) {
    const Firmware fw;
    Bytes damaged = gimbal::composeFirmwareFile(fw.images, 1024);
    damaged[8 + 1024 + 17] ^= 0x04;
    const TempFile file(damaged, "damaged");
    const std::string stored = hex16(static_cast<std::uint16_t>(damaged[0] | damaged[1] << 8));
    const std::string computed = hex16(*gimbal::computeFirmwareCrc(damaged));
    auto gimbal = startGimbal();
    const std::string path = file.path.string();

    const ChildResult refused = runChild(kProgram, {"--port", gimbal->slavePath(), path});
    EXPECT_EQ(refused.exitCode, 3) << dump(refused);
    EXPECT_TRUE(refused.lines.empty()) << dump(refused);
    ASSERT_EQ(refused.errorLines.size(), 1u) << dump(refused);
    EXPECT_EQ(refused.errorLines[0].rfind("error: " + path + ": stored CRC " + stored + " does not match " + computed +
                                              ", the CRC of its contents",
                                          0),
              0u)
        << dump(refused);
    EXPECT_NE(refused.errorLines[0].find("--ignore-crc"), std::string::npos) << dump(refused);
    EXPECT_EQ(gimbal->stats().framesReceived, 0u) << "the port was not touched";

    const ChildResult forced = runChild(kProgram, {"--ignore-crc", "--port", gimbal->slavePath(), path});
    EXPECT_EQ(forced.exitCode, 0) << dump(forced);
    ASSERT_EQ(forced.errorLines.size(), 1u) << dump(forced);
    EXPECT_EQ(forced.errorLines[0], "warning: " + path + ": stored CRC " + stored + " does not match " + computed +
                                        ", the CRC of its contents: the file is damaged or incomplete; flashing it "
                                        "anyway (--ignore-crc)")
        << dump(forced);
    EXPECT_EQ(std::count_if(forced.lines.begin(), forced.lines.end(),
                            [](const auto& l) { return l.find("warning") != std::string::npos; }),
              0);
    EXPECT_EQ(gimbal->image(0), Bytes(damaged.begin() + 8, damaged.begin() + 8 + 3 * 1024));
}

// A gimbal that never reports: a bare pseudo-terminal whose master stays silent.
TEST(FlashProgram, GivesUpWhenNoVersionReportComesInTime) {
    const Firmware fw;
    test_support::Pty silent;
    const std::string port = silent.slavePath();
    const ChildResult r = runChild(kProgram, {"--port", port, "--wait", "1", fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 6) << dump(r);
    // Says what to check, not only what did not come.
    const std::string why = "no version report from " + port +
                            " within 1 s: check that the gimbal is powered and in its boot firmware, that it is on "
                            "this port, and the baud rate";
    EXPECT_TRUE(hasErrorLine(r, port + ": error: " + why)) << dump(r);
    EXPECT_TRUE(hasLine(r, "summary: " + port + ": failed (exit 6): " + why)) << dump(r);
}

std::string ownCommandName() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Another program (this test) holds the port with an flock, as ours take it:
// the line names the holder and the fix, and JSON gives them as fields.
TEST(FlashProgram, APortHeldElsewhereIsAPortErrorNamingPathAndReason) {
    const Firmware fw;
    auto gimbal = startGimbal();
    const std::string port = gimbal->slavePath();
    const int holder = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const ChildResult r = runChild(kProgram, {"--port", port, fw.file.path.string()});
    const ChildResult json = runChild(kProgram, {"--json", "--port", port, fw.file.path.string()});
    ::close(holder);
    EXPECT_EQ(r.exitCode, 4) << dump(r);
    const std::string program = ownCommandName(), pid = std::to_string(::getpid());
    const std::string why = port + " is in use by " + program + " (PID " + pid + "; flock)";
    const std::string fix = "close " + program + " (PID " + pid + ") and try again";
    EXPECT_TRUE(hasErrorLine(r, port + ": error: " + why + ". Fix: " + fix)) << dump(r);
    EXPECT_TRUE(hasLine(r, "summary: " + port + ": failed (exit 4): " + why + ". Fix: " + fix)) << dump(r);
    EXPECT_EQ(json.exitCode, 4) << dump(json);
    const std::string fields = ",\"text\":\"" + why + "\",\"cause\":\"busy\",\"hint\":\"" + fix +
                               "\",\"holderPid\":" + pid + ",\"holderProgram\":\"" + program + "\"}";
    EXPECT_TRUE(
        hasLine(json, "{\"event\":\"error\",\"port\":\"" + port + "\",\"code\":4,\"kind\":\"port-error\"" + fields))
        << dump(json);
    EXPECT_TRUE(hasSummary(json, "{\"event\":\"summary\",\"port\":\"" + port +
                                     "\",\"ok\":false,\"code\":4,\"kind\":\"port-error\"" + fields))
        << dump(json);
    EXPECT_EQ(gimbal->stats().blockFrames, 0u);
}

TEST(FlashProgram, ARemovedDeviceEndsItsSessionWithItsOwnCode) {
    const Firmware fw;
    auto gimbal = startGimbal(std::chrono::milliseconds(100), 2);
    const ChildResult r = runChild(kProgram, {"--port", gimbal->slavePath(), fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 5) << dump(r);
    // Removed mid-upgrade: the gimbal waits in upgrade mode, as after an interrupt.
    EXPECT_TRUE(hasLine(r, "summary: " + gimbal->slavePath() + ": failed (exit 5): device " + gimbal->slavePath() +
                               " was removed; the gimbal stays in upgrade mode until a whole upgrade completes: "
                               "plug it in and run quenlo-flash again"))
        << dump(r);
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(part) != std::string::npos; });
}

// The engine's and the serial layer's diagnostic lines stay out of a normal
// run; --verbose puts them, after the port, on standard error only; --quiet
// leaves one summary line per port, failed ones too, with the error on
// standard error.
TEST(FlashProgram, DiagnosticsOnlyWithVerboseOnStandardErrorAndQuietKeepsTheSummaries) {
    const Firmware fw;
    const std::string file = fw.file.path.string();
    auto normalGimbal = startGimbal();
    const ChildResult normal = runChild(kProgram, {"--port", normalGimbal->slavePath(), file});
    EXPECT_EQ(normal.exitCode, 0) << dump(normal);
    for (const char* diagnostic : {"Sending Page", "set baudrate", "send result"})
        EXPECT_FALSE(anyContains(normal.lines, diagnostic)) << dump(normal);
    // Nothing but the warning about the file's 3 bytes after its last page.
    EXPECT_EQ(normal.errorOutput,
              "warning: " + file + ": the firmware image has 3 bytes after MCU 2's last page; they are not sent\n")
        << dump(normal);

    auto a = startGimbal();
    auto b = startGimbal();
    const ChildResult verbose = runChild(kProgram, {"-v", "--port", a->slavePath(), "--port", b->slavePath(), file});
    EXPECT_EQ(verbose.exitCode, 0) << dump(verbose);
    for (const auto* gimbal : {a.get(), b.get()}) {
        const std::string port = gimbal->slavePath();
        expectUpgraded(verbose, *gimbal, fw);
        EXPECT_TRUE(hasErrorLine(verbose, port + ": set baudrate:115200")) << dump(verbose);
        EXPECT_TRUE(hasErrorLine(verbose, port + ": Sending Page 0 for MCU 0")) << dump(verbose);
        EXPECT_TRUE(hasErrorLine(verbose, port + ": send result : true")) << dump(verbose);
        // Frames both ways in hex: the enter request out, the page acknowledgements in.
        EXPECT_TRUE(hasErrorLine(verbose, port + ": sent 55 AA 00 01 00 00 F0 B3")) << dump(verbose);
        EXPECT_TRUE(anyContains(verbose.errorLines, port + ": received 55 AA 00 03 ")) << dump(verbose);
    }
    EXPECT_FALSE(anyContains(verbose.lines, "Sending Page")) << dump(verbose);
    EXPECT_FALSE(anyContains(verbose.lines, "set baudrate")) << dump(verbose);

    auto quietGimbal = startGimbal();
    const std::string missing = "/nonexistent/ttyGIMBAL";
    const ChildResult quiet = runChild(kProgram, {"-q", "--port", quietGimbal->slavePath(), "--port", missing, file});
    EXPECT_EQ(quiet.exitCode, 4) << dump(quiet);
    ASSERT_EQ(quiet.lines.size(), 2u) << dump(quiet);
    EXPECT_EQ(quiet.lines[0], "summary: " + quietGimbal->slavePath() + ": upgraded") << dump(quiet);
    EXPECT_EQ(quiet.lines[1].rfind("summary: " + missing + ": failed (exit 4): ", 0), 0u) << dump(quiet);
    // The file's 3 bytes after its last page are a warning, kept by --quiet.
    ASSERT_EQ(quiet.errorLines.size(), 2u) << dump(quiet);
    EXPECT_EQ(quiet.errorLines[0],
              "warning: " + file + ": the firmware image has 3 bytes after MCU 2's last page; they are not sent");
    EXPECT_EQ(quiet.errorLines[1].rfind(missing + ": error: ", 0), 0u) << dump(quiet);
    for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(quietGimbal->image(mcu), fw.images[mcu]);
}

TEST(FlashProgram, UsageErrorsAndHelp) {
    const ChildResult bad = runChild(kProgram, {"--port", "/dev/null"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.errorOutput.find("no firmware file"), std::string::npos) << bad.errorOutput;
    EXPECT_TRUE(bad.lines.empty());
    const ChildResult help = runChild(kProgram, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(hasLine(help, "Exit codes:")) << dump(help);
    const ChildResult version = runChild(kProgram, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_EQ(version.lines.size(), 1u) << dump(version);
    EXPECT_EQ(version.lines.front().rfind("quenlo-flash ", 0), 0u) << dump(version);
}

// Every line of standard output an object; the events named in order.
std::vector<std::string> jsonEvents(const ChildResult& r) {
    std::vector<std::string> events;
    for (const auto& line : r.lines) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line << "\n" << dump(r);
        if (j.is_object()) events.push_back(j.value("event", "?"));
    }
    return events;
}

// Each line one object; checked with string tests for its shape. --verbose
// adds to standard error only.
TEST(FlashProgram, JsonFormIsOneObjectPerLineAndEvent) {
    const Firmware fw;
    auto gimbal = startGimbal();
    ChildResult r = runChild(kProgram, {"--json", "--verbose", "--port", gimbal->slavePath(), fw.file.path.string()});
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    ASSERT_FALSE(r.lines.empty());
    jsonEvents(r);
    EXPECT_TRUE(hasErrorLine(r, gimbal->slavePath() + ": Sending Page 0 for MCU 0")) << dump(r);
    const std::string portField = "\"port\":\"" + gimbal->slavePath() + "\"";
    // First the warning about the file's 3 bytes after its last page.
    EXPECT_EQ(r.lines.front(), "{\"event\":\"warning\",\"file\":\"" + fw.file.path.string() + "\",\"text\":\"" +
                                   fw.file.path.string() +
                                   ": the firmware image has 3 bytes after MCU 2's last page; they are not sent\"}");
    r.lines.erase(r.lines.begin());
    for (const auto& line : r.lines) {
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        EXPECT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
        EXPECT_NE(line.find(portField), std::string::npos) << line;
        EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
    }
    EXPECT_EQ(r.lines.front(),
              "{\"event\":\"status\"," + portField + ",\"text\":\"Gimbal Connected, current firmware version V1.23\"}");
    EXPECT_TRUE(hasLine(r, "{\"event\":\"progress\"," + portField + ",\"percent\":100}")) << dump(r);
    EXPECT_TRUE(hasLine(r, "{\"event\":\"status\"," + portField + ",\"text\":\"Upgrade Complete!!\"}")) << dump(r);
    EXPECT_TRUE(hasSummary(r, "{\"event\":\"summary\"," + portField +
                                  ",\"ok\":true,\"code\":0,\"kind\":\"ok\",\"text\":\"Upgrade Complete!!\"}"))
        << r.lines.back();
    for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal->image(mcu), fw.images[mcu]);
}

// Refusals, warnings and port errors are JSON on standard output too, and
// nothing reaches standard error: a script reads one stream.
TEST(FlashProgram, JsonFailuresAndWarningsKeepStandardOutputAllJson) {
    const Firmware fw;
    const TempFile tiny(Bytes{1, 2, 3}, "tiny-json");
    auto gimbal = startGimbal();
    const ChildResult refused = runChild(kProgram, {"--json", "--port", gimbal->slavePath(), tiny.path.string()});
    EXPECT_EQ(refused.exitCode, 3) << dump(refused);
    EXPECT_EQ(jsonEvents(refused), std::vector<std::string>{"error"}) << dump(refused);
    EXPECT_EQ(refused.errorOutput, "") << dump(refused);

    Bytes damaged = gimbal::composeFirmwareFile(fw.images, 1024);
    damaged[8 + 5] ^= 0x01;
    const TempFile file(damaged, "damaged-json");
    const std::string missing = "/nonexistent/ttyGIMBAL";
    const ChildResult failed = runChild(
        kProgram, {"--json", "--ignore-crc", "--port", gimbal->slavePath(), "--port", missing, file.path.string()});
    EXPECT_EQ(failed.exitCode, 4) << dump(failed);
    const std::vector<std::string> events = jsonEvents(failed);
    ASSERT_FALSE(events.empty()) << dump(failed);
    EXPECT_EQ(events.front(), "warning") << dump(failed);
    EXPECT_EQ(std::count(events.begin(), events.end(), "error"), 1) << dump(failed);
    EXPECT_EQ(std::count(events.begin(), events.end(), "summary"), 2) << dump(failed);
    EXPECT_EQ(failed.errorOutput, "") << dump(failed);
}

}  // namespace
