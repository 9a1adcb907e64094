// The gimbal-sim program: its command line, and a run from start to signal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim/cli_options.h"
#include "sim_program.h"
#include "termios_client.h"

namespace sim_test {
namespace {

using sim::CliParse;
using testing::HasSubstr;

CliParse parse(std::vector<std::string> args) {
    return sim::parseCommandLine(args);
}

TEST(SimCommandLine, TakesEveryOptionAndBuildsTheFaultPolicy) {
    const CliParse p = parse({"--dialect",      "blocks", "--version=205",   "--long-announcement",
                              "--block-size",   "512",    "--baud",          "230400",
                              "--announce-ms",  "100",    "--drop",          "3,7",
                              "--corrupt",      "5",      "--random-faults", "1",
                              "--seed",         "9",      "--silent-after",  "40",
                              "--vanish-after", "30",     "--delay-ms",      "50",
                              "--split-pieces", "3",      "--split-gap-ms",  "5",
                              "--noise-bytes",  "2",      "--out",           "/tmp"});
    ASSERT_EQ(p.outcome, CliParse::Outcome::Run) << p.error;
    const sim::Options& o = p.config.options;
    EXPECT_EQ(o.dialect, sim::Dialect::Blocks);
    EXPECT_EQ(o.version, 205);
    EXPECT_TRUE(o.longAnnouncement);
    EXPECT_EQ(o.blockSize, 512);
    EXPECT_EQ(o.baud, 230400u);
    EXPECT_EQ(o.announcePeriod, std::chrono::milliseconds(100));
    EXPECT_EQ(o.silentAfter, 40u);
    EXPECT_EQ(o.vanishAfter, 30u);
    EXPECT_EQ(o.splitPieces, 3u);
    EXPECT_EQ(p.config.outDir, "/tmp");
    const sim::FaultPolicy policy = sim::faultPolicyFor(p.config);
    EXPECT_EQ(policy({3, 3, 0, 0}), sim::Fault::Drop);  // listed faults win
    EXPECT_EQ(policy({5, 3, 0, 0}), sim::Fault::CorruptCrc);
    EXPECT_NE(policy({4, 3, 0, 0}), sim::Fault::None);  // probability 1 fills the rest
}

// The faults that show a gimbal restarting mid-upgrade and stray
// bytes in front of a reply; --random-faults never picks them.
TEST(SimCommandLine, StrayAndRestartFaults) {
    const CliParse p = parse({"--stray", "1,4", "--restart", "6", "--random-faults", "1"});
    ASSERT_EQ(p.outcome, CliParse::Outcome::Run) << p.error;
    const sim::FaultPolicy policy = sim::faultPolicyFor(p.config);
    EXPECT_EQ(policy({1, 3, 0, 0}), sim::Fault::Stray);
    EXPECT_EQ(policy({4, 8, 0, 0}), sim::Fault::Stray);
    EXPECT_EQ(policy({6, 3, 0, 0}), sim::Fault::Restart);
    for (std::size_t n = 7; n < 200; ++n) {
        EXPECT_NE(policy({n, 3, 0, 0}), sim::Fault::Stray);
        EXPECT_NE(policy({n, 3, 0, 0}), sim::Fault::Restart);
    }
    EXPECT_EQ(parse({"--stray", "2", "--restart", "2"}).outcome, CliParse::Outcome::Error);
    EXPECT_THAT(sim::usageText(), HasSubstr("--stray"));
    EXPECT_THAT(sim::usageText(), HasSubstr("--restart"));
}

// Scripts pass the firmware version as --version N; alone, --version asks
// for the program's version like every other tool's.
TEST(SimCommandLine, VersionAloneIsTheProgramsAndWithANumberTheFirmwares) {
    EXPECT_EQ(parse({"--version"}).outcome, CliParse::Outcome::Version);
    for (const auto& args : {std::vector<std::string>{"--version", "205"}, {"--firmware-version", "205"}}) {
        const CliParse p = parse(args);
        ASSERT_EQ(p.outcome, CliParse::Outcome::Run) << p.error;
        EXPECT_EQ(p.config.options.version, 205u);
    }
}

TEST(SimCommandLine, RefusesBadInputNamingTheOption) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--dialect", "bytes"}, "--dialect"},
        {{"--version", "70000"}, "--firmware-version"},
        {{"--baud", "fast"}, "--baud"},
        {{"--announce-ms", "0"}, "--announce-ms"},
        {{"--drop", "1,x"}, "--drop"},
        {{"--drop", "2", "--split", "2"}, "reply 2"},
        {{"--random-faults", "1.5"}, "--random-faults"},
        {{"--seed", "4"}, "--seed needs --random-faults"},
        {{"--block-size", "256"}, "--dialect blocks"},
        {{"--split-pieces", "1"}, "--split-pieces"},
        {{"--out"}, "needs a value"},
        {{"--long-announcement=yes"}, "takes no value"},
        {{"--frobnicate"}, "unknown option"},
        {{"--link", "a/b"}, "--link"},
        {{"--link", ".hidden"}, "--link"},
    };
    for (const auto& [args, message] : cases) {
        const CliParse p = parse(args);
        EXPECT_EQ(p.outcome, CliParse::Outcome::Error) << args[0];
        EXPECT_THAT(p.error, HasSubstr(message)) << args[0];
    }
    EXPECT_EQ(parse({"--baud", "9600", "-h"}).outcome, CliParse::Outcome::Help);
}

TEST(SimCommandLine, HelpDocumentsEveryOption) {
    const std::string help = sim::usageText();
    for (const char* name : {"--dialect",       "--version",       "--long-announcement",
                             "--block-size",    "--baud",          "--announce-ms",
                             "--drop",          "--delay",         "--duplicate",
                             "--corrupt",       "--split",         "--noise",
                             "--wrong-address", "--random-faults", "--seed",
                             "--silent-after",  "--vanish-after",  "--delay-ms",
                             "--split-pieces",  "--split-gap-ms",  "--noise-bytes",
                             "--out",           "--link",          "--help"})
        EXPECT_THAT(help, HasSubstr(name));
}

TEST(SimProgram, PrintsThePathPlaysUntilSignalledAndWritesWhatItReceived) {
    const auto dir = std::filesystem::temp_directory_path() / ("gimbal-sim-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Program program({"--dialect", "blocks", "--block-size", "64", "--out", dir.string()});
    const std::string first = program.readUntil("\n");
    ASSERT_NE(first.find('\n'), std::string::npos);
    const std::string path = first.substr(0, first.find('\n'));
    EXPECT_THAT(path, testing::StartsWith("/dev/pts/"));

    TermiosClient client(path);
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    const Bytes file = gimbal::composeFirmwareFile(makeImages(64, {2, 0, 3}), 64);
    ASSERT_TRUE(playUpgrade(client, file, 64, gimbal::updaterSwitchFrame()));

    program.signal(SIGTERM);
    EXPECT_EQ(program.exitCode(), 0);
    const std::string output = program.readUntil("");  // all of it, read by exitCode()
    EXPECT_THAT(output, HasSubstr("image1.bin: 2 blocks (0-1), 128 bytes"));
    EXPECT_THAT(output, HasSubstr("image2.bin: 0 blocks, 0 bytes"));
    EXPECT_THAT(output, HasSubstr("replies sent 7"));
    EXPECT_THAT(output, testing::Not(HasSubstr("nothing was written")));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(fileBytes(dir / ("image" + std::to_string(i + 1) + ".bin")), imageOf(file, i, 64));
    std::filesystem::remove_all(dir);
}

// Under nohup (SIGHUP inherited as ignored) a closed terminal must not stop
// the simulator: it keeps playing until SIGTERM.
TEST(SimProgram, UnderNohupSIGHUPIsIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &before), 0);
    Program program({"--dialect", "blocks", "--block-size", "64"});
    ASSERT_EQ(::sigaction(SIGHUP, &before, nullptr), 0);
    const std::string path = program.firstLine();

    program.signal(SIGHUP);
    TermiosClient client(path);
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    const Bytes file = gimbal::composeFirmwareFile(makeImages(64, {2, 1, 3}), 64);
    ASSERT_TRUE(playUpgrade(client, file, 64, gimbal::updaterSwitchFrame()));
    program.signal(SIGTERM);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_THAT(program.readUntil(""), HasSubstr("image3.bin: 3 blocks (0-2), 192 bytes\n"));
}

// Started without --out in a checkout or a home folder, it leaves nothing
// there: neither the recordings nor the summary file a SIGHUP used to keep.
TEST(SimProgram, WithoutOutWritesNoFilesAndSaysSo) {
    const auto dir = std::filesystem::temp_directory_path() / ("gimbal-sim-cwd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Program program({"--dialect", "blocks", "--block-size", "64"}, RunAs::Us, dir.string());
    TermiosClient client(program.firstLine());
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    const Bytes file = gimbal::composeFirmwareFile(makeImages(64, {1, 1, 1}), 64);
    ASSERT_TRUE(playUpgrade(client, file, 64, gimbal::updaterSwitchFrame()));

    program.signal(SIGHUP);
    EXPECT_EQ(program.exitCode(), 0);
    const std::string output = program.readUntil("");
    EXPECT_THAT(output, HasSubstr("image3.bin: 1 block (0), 64 bytes\n"));
    EXPECT_THAT(output, HasSubstr("\nnothing was written; --out DIR keeps what was received\n"));
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << std::filesystem::directory_iterator(dir)->path();
    std::filesystem::remove_all(dir);
}

// Two upgrades against one simulator, the second by a new client (a new
// enter request): each keeps files of its own, the first under the plain names.
TEST(SimProgram, EachUpgradeIsRecordedInFilesOfItsOwn) {
    const auto dir = std::filesystem::temp_directory_path() / ("gimbal-sim-runs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Program program({"--out", dir.string(), "--announce-ms", "50"});
    const std::string path = program.firstLine();
    const Bytes first = gimbal::composeFirmwareFile(makeImages(1024, {2, 1, 2}), 1024);
    Bytes second = gimbal::composeFirmwareFile(makeImages(1024, {1, 2, 1}), 1024);
    std::reverse(second.begin() + 8, second.end());
    for (const Bytes* file : std::array<const Bytes*, 2>{&first, &second}) {
        TermiosClient client(path);
        ASSERT_TRUE(client.readFrame());
        ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
        ASSERT_TRUE(playUpgrade(client, *file, 1024, gimbal::upgraderSwitchFrame()));
    }
    program.signal(SIGTERM);
    EXPECT_EQ(program.exitCode(), 0);
    const std::string output = program.readUntil("");
    EXPECT_THAT(output, HasSubstr("run 1 of 2, from the start:\nmcu0.bin: 2 blocks"));
    EXPECT_THAT(output, HasSubstr("run 2 of 2, begun by an enter request after the gimbal came up again:\n"
                                  "run2-mcu0.bin: 1 block (0), 1024 bytes"));
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string name = "mcu" + std::to_string(i) + ".bin";
        EXPECT_EQ(fileBytes(dir / name), imageOf(first, i, 1024)) << name;
        EXPECT_EQ(fileBytes(dir / ("run2-" + name)), imageOf(second, i, 1024)) << name;
    }
    std::filesystem::remove_all(dir);
}

// With --link the program shows up among the virtual serial ports for as
// long as it runs; a second one cannot take the same name.
TEST(SimProgram, LinkIsPlacedPrintedAndRemovedAtExit) {
    const auto runtime = std::filesystem::temp_directory_path() / ("gimbal-sim-runtime-" + std::to_string(::getpid()));
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string kept = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);  // the children inherit it

    Program program({"--link", "bench gimbal", "--out", runtime.string()});
    const std::string first = program.readUntil("\n");
    const std::string link = (runtime / "virtual-serial" / "bench gimbal").string();
    EXPECT_EQ(first, link + "\n");
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_THAT(std::filesystem::read_symlink(link).string(), testing::StartsWith("/dev/pts/"));
    TermiosClient client(link);
    EXPECT_TRUE(client.readFrame());  // the gimbal announces itself through the link

    Program second({"--link", "bench gimbal", "--out", runtime.string()});
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the first one's link stays";

    program.signal(SIGTERM);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

    saved ? ::setenv("XDG_RUNTIME_DIR", kept.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(runtime);
}

TEST(SimProgram, ExitsWithTwoOnABadCommandLine) {
    Program bad({"--baud", "-5"});
    EXPECT_EQ(bad.exitCode(), 2);
    Program nowhere({"--out", "/nonexistent/dir"});
    EXPECT_EQ(nowhere.exitCode(), 2);
}

}  // namespace
}  // namespace sim_test
