// quenlo-flash --watch, the flashing bench, run as a child process while
// simulated gimbals appear and vanish as virtual ports in a runtime folder
// of the test's own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <fstream>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "tests/support/holding_process.h"
#include "link/firmware_file.h"
#include "link/serial_locks.h"
#include "link/virtual_ports.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"
#include "upgrader/flash/unit_facts.h"

namespace {

namespace fs = std::filesystem;
using flash_test::ChildResult;
using flash_test::RunningChild;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

using flash_test::kProgram;
constexpr std::chrono::seconds kDeadline{60};

// A runtime folder (its virtual-serial folder is what the bench watches),
// the firmware file and the log, removed with the object.
struct Bench {
    Bench() {
        root =
            fs::temp_directory_path() / ("quenlo-watch-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
        fs::create_directories(root / "runtime");
        fs::permissions(root / "runtime", fs::perms::owner_all);
        ports = (root / "runtime" / "virtual-serial").string();
        const Bytes bytes = gimbal::composeFirmwareFile(images, 1024);
        std::ofstream(root / "fw.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~Bench() { fs::remove_all(root); }

    // `env`: more of the child's environment.
    std::unique_ptr<RunningChild> watch(std::vector<std::string> args = {}, std::vector<std::string> env = {}) {
        args.insert(args.begin(), {"--watch", "--json", "--wait", "5", "--log", log()});
        args.push_back((root / "fw.bin").string());
        env.push_back("XDG_RUNTIME_DIR=" + (root / "runtime").string());
        auto child = std::make_unique<RunningChild>(kProgram, args, env);
        EXPECT_TRUE(child->waitForLine([](const std::string& l) { return event(l) == "watching"; }, kDeadline));
        return child;
    }
    std::string log() const { return (root / "bench.jsonl").string(); }
    std::vector<Json> logged() const {
        std::vector<Json> records;
        std::ifstream in(log());
        for (std::string line; std::getline(in, line);) records.push_back(Json::parse(line, nullptr, false));
        return records;
    }

    static std::string event(const std::string& line) {
        const Json j = Json::parse(line, nullptr, false);
        return j.is_object() && j.contains("event") ? j["event"].get<std::string>() : std::string();
    }

    static inline int count = 0;
    fs::path root;
    std::string ports;
    std::array<Bytes, 3> images{test_support::randomImage(3, 1), test_support::randomImage(2, 2),
                                test_support::randomImage(4, 3)};
};

// A simulated gimbal that answers at once.
std::unique_ptr<sim::GimbalSim> gimbal(sim::Options options = {}) {
    options.delay = std::chrono::milliseconds(1);
    options.splitGap = std::chrono::milliseconds(1);
    options.announcePeriod = std::chrono::milliseconds(50);
    auto g = std::make_unique<sim::GimbalSim>(options);
    std::string error;
    EXPECT_TRUE(g->start(&error)) << error;
    return g;
}

// Makes the gimbal appear as the virtual port `name`.
std::string plugIn(const Bench& bench, const sim::GimbalSim& g, const std::string& name) {
    std::string error;
    const std::string path = gimbal::placeVirtualSerialLink(bench.ports, name, g.slavePath(), &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
}

std::function<bool(const std::string&)> finishedOn(const std::string& port, const std::string& result) {
    return [=](const std::string& line) {
        const Json j = Json::parse(line, nullptr, false);
        return j.is_object() && j.value("event", "") == "finished" && j.value("port", "") == port &&
               j.value("result", "") == result;
    };
}

void expectImages(const sim::GimbalSim& g, const Bench& bench, std::size_t run = 0) {
    for (std::size_t mcu = 0; mcu < 3; ++mcu) {
        Bytes got;
        for (const auto& [index, data] : g.runBlocks(run, mcu)) got.insert(got.end(), data.begin(), data.end());
        EXPECT_EQ(got, bench.images[mcu]) << "MCU " << mcu << ", run " << run;
    }
}

TEST(FlashBench, UpgradesEveryAppearanceExactlyLeavesPresentPortsAloneAndAppendsToTheLog) {
    Bench bench;
    std::ofstream(bench.log()) << "{\"earlier\":\"run\"}\n";
    auto present = gimbal();
    const std::string presentPort = plugIn(bench, *present, "present");
    auto child = bench.watch();

    auto first = gimbal();
    const std::string port = plugIn(bench, *first, "bench gimbal");
    ASSERT_TRUE(child->waitForLine(finishedOn(port, "upgraded"), kDeadline));
    expectImages(*first, bench);

    // Unplugged and plugged in again: a new appearance on the same path. The
    // link goes first, so it never leads to a terminal that is not its own.
    fs::remove(port);
    first.reset();
    auto second = gimbal();
    EXPECT_EQ(plugIn(bench, *second, "bench gimbal"), port);
    ASSERT_TRUE(child->waitForLines(finishedOn(port, "upgraded"), 2, kDeadline));
    expectImages(*second, bench);

    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 0) << dump(r);  // nothing was under way, nothing failed
    // Never opened: no client came and went, nothing was asked of it.
    EXPECT_EQ(present->stats().hangups, 0u);
    EXPECT_EQ(present->stats().framesReceived, 0u);
    EXPECT_TRUE(std::none_of(r.lines.begin(), r.lines.end(), [&](const auto& l) {
        return l.find("\"" + presentPort + "\"") != std::string::npos && Bench::event(l) != "watching";
    })) << dump(r);

    const auto records = bench.logged();
    ASSERT_EQ(records.size(), 3u) << dump(r);
    EXPECT_EQ(records[0], Json::parse("{\"earlier\":\"run\"}"));
    for (std::size_t i = 1; i < 3; ++i) {
        const Json& rec = records[i];
        EXPECT_EQ(rec["port"], port);
        EXPECT_EQ(rec["name"], "bench gimbal");
        EXPECT_TRUE(rec["serial"].is_null());
        EXPECT_EQ(rec["pages"], 9);
        EXPECT_EQ(rec["version"], "1.23");
        EXPECT_EQ(rec["result"], "upgraded");
        EXPECT_EQ(rec["code"], 0);
        EXPECT_EQ(rec["message"], "Upgrade Complete!!");
        EXPECT_GT(rec["seconds"].get<double>(), 0);
        EXPECT_EQ(rec["start"].get<std::string>().size(), std::string("2026-12-08T21:03:04.123Z").size());
    }
}

// Waits (checking every 20 ms) until `done` holds; false after `deadline`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        ::poll(nullptr, 0, 20);
    }
    return true;
}

// Two benches sharing ports: a port another program holds when it appears
// is that program's to upgrade. It is no failure here, but a gimbal this
// bench did not upgrade: a record, a count in the summary and exit 8 (it
// was only a warning line, with exit 0).
TEST(FlashBench, APortAnotherProgramHoldsIsLeftToItLoggedAndCounted) {
    Bench bench;
    auto child = bench.watch();
    auto held = gimbal();
    test_support::HoldingProcess holder([&] {
        const int fd = ::open(held->slavePath().c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    ASSERT_TRUE(holder.held);
    const std::string port = plugIn(bench, *held, "held");
    ASSERT_TRUE(child->waitForLine(finishedOn(port, "left-alone"), kDeadline));
    ::kill(child->pid(), SIGTERM);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 8) << dump(r);
    ASSERT_FALSE(r.lines.empty());
    const Json stopped = Json::parse(r.lines.back(), nullptr, false);
    EXPECT_EQ(stopped.value("leftAlone", -1), 1) << dump(r);
    EXPECT_EQ(stopped.value("failed", -1), 0) << dump(r);
    const auto records = bench.logged();
    ASSERT_EQ(records.size(), 1u) << dump(r);
    EXPECT_EQ(records[0]["result"], "left-alone");
    EXPECT_EQ(records[0]["code"], 8);
    EXPECT_NE(records[0]["message"].get<std::string>().find(std::to_string(holder.pid)), std::string::npos)
        << records[0];
}

TEST(FlashBench, AClosedOutputNeverStopsTheBench) {
    Bench bench;
    auto child = bench.watch();
    child->closeOutput();
    auto g = gimbal();
    const std::string port = plugIn(bench, *g, "after the reader left");
    ASSERT_TRUE(waitUntil([&] { return bench.logged().size() == 1; }, kDeadline));
    expectImages(*g, bench);
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    EXPECT_EQ(bench.logged()[0]["result"], "upgraded");
    EXPECT_EQ(r.errorLines,
              std::vector<std::string>{"quenlo-flash: standard output: Broken pipe; nothing more is shown there, "
                                       "the upgrades go on"})
        << dump(r);
}

// The log's disk fills up in the middle of a record (a file size limit,
// inherited by the bench, stands in for it): the cut record is taken back,
// a warning names the port whose result is lost, and the exit code says a
// result is missing from the log.
TEST(FlashBench, ARecordTheFullDiskCutShortIsTakenBackAndItsPortNamed) {
    Bench bench;
    // Long enough that the limit leaves room for the port's lock file.
    const std::string earlier = "{\"earlier\":\"" + std::string(150, 'r') + "\"}\n";
    std::ofstream(bench.log()) << earlier;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit full = saved;
    full.rlim_cur = earlier.size() + 40;  // room for part of a record
    const auto xfsz = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    auto child = bench.watch();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, xfsz);

    auto g = gimbal();
    const std::string port = plugIn(bench, *g, "full disk");
    const auto lostWarning = [&](const std::string& line) {
        const Json j = Json::parse(line, nullptr, false);
        return j.is_object() && j.value("event", "") == "warning" && j.value("port", "") == port &&
               j.value("text", "").starts_with("this port's result (upgraded) is lost");
    };
    ASSERT_TRUE(child->waitForLine(lostWarning, kDeadline));
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 1) << dump(r);
    std::ifstream in(bench.log(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), earlier) << "the cut record stayed";
}

// A log that is no regular file cannot be forced to disk record by record,
// and a FIFO would block the open until a reader came: refused at once.
TEST(FlashBench, ALogThatIsNoRegularFileIsRefusedAtOnce) {
    Bench bench;
    const std::string fifo = (bench.root / "fifo.jsonl").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Another user's link in a sticky shared folder (as in /tmp): following
    // it would append where that user may not write.
    const fs::path shared = bench.root / "shared", victim = bench.root / "victim";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const std::string planted = (shared / "bench.jsonl").string();
    fs::create_symlink(victim, planted);
    const bool asAnotherUser = ::geteuid() == 0 && ::lchown(planted.c_str(), 65534, 65534) == 0;
    std::vector<std::pair<std::string, std::string>> cases{
        {fifo, "not a regular file but a FIFO"}, {"/dev/null", "not a regular file but a character device"}};
    if (asAnotherUser)
        cases.emplace_back(planted, "a link another user made in a shared folder; give the log file's own path");
    for (const auto& [log, why] : cases) {
        const ChildResult r =
            flash_test::runChild(kProgram, {"--watch", "--log", log, (bench.root / "fw.bin").string()},
                                 std::chrono::seconds(20), {"XDG_RUNTIME_DIR=" + (bench.root / "runtime").string()});
        EXPECT_EQ(r.exitCode, 2) << log << "\n" << dump(r);
        EXPECT_EQ(r.errorLines,
                  std::vector<std::string>{"error: the log cannot be opened for appending: " + log + ": " + why})
            << dump(r);
    }
    EXPECT_FALSE(fs::exists(victim)) << "the link was followed";
}

TEST(FlashBench, AVanishedGimbalIsLoggedRemovedAndASignalLogsTheUpgradeUnderWayAsInterrupted) {
    Bench bench;
    auto child = bench.watch();

    // Unplugged mid-upgrade: the link goes while the gimbal waits for its
    // next page. (A terminal closed under its link would leave the link to
    // whichever terminal gets that number next, in this or another test.)
    sim::Options unplugged;
    unplugged.silentAfter = 4;
    auto gone = gimbal(unplugged);
    const std::string gonePort = plugIn(bench, *gone, "unplugged");
    ASSERT_TRUE(gone->waitFor([](const sim::GimbalSim& g) { return g.stats().repliesDue > 4; }));
    fs::remove(gonePort);
    ASSERT_TRUE(child->waitForLine(finishedOn(gonePort, "removed"), kDeadline));

    sim::Options stalling;
    stalling.silentAfter = 6;  // stops answering in the second MCU
    auto stalled = gimbal(stalling);
    const std::string stalledPort = plugIn(bench, *stalled, "stalling");
    ASSERT_TRUE(stalled->waitFor([](const sim::GimbalSim& g) { return g.stats().repliesDue > 6; }));
    ::kill(child->pid(), SIGTERM);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 143) << dump(r);  // the signal's code, though a gimbal failed before

    const auto records = bench.logged();
    ASSERT_EQ(records.size(), 2u) << dump(r);
    EXPECT_EQ(records[0]["port"], gonePort);
    EXPECT_EQ(records[0]["result"], "removed");
    EXPECT_EQ(records[0]["code"], 5);
    EXPECT_EQ(records[1]["port"], stalledPort);
    EXPECT_EQ(records[1]["result"], "interrupted");
    EXPECT_EQ(records[1]["code"], 143);
    EXPECT_EQ(records[1]["pages"], 5);  // the first MCU's three pages and two of the second's
    EXPECT_NE(records[1]["message"].get<std::string>().find("SIGTERM"), std::string::npos);
}

// On the bench: a lost switch acknowledgement (after
// the 30 s a page gets) and a gimbal that restarts mid-upgrade were kept
// "under way" for ever and never logged; both are logged as failed now. Stray
// bytes in front of an acknowledgement cost nothing. The page timer is the
// test's, not a real 30 s.
TEST(FlashBench, ALostSwitchAcknowledgementAndARestartAreLoggedFailedAndStrayBytesCostNothing) {
    Bench bench;
    auto child = bench.watch({}, {"QUENLO_FLASH_TEST_PAGE_TIMEOUT_MS=2000"});

    // Pages 3, 2, 4: reply 3 is the switch acknowledgement after MCU 0.
    sim::Options lost;
    lost.faults = sim::faultsAt({{3, sim::Fault::Drop}});
    auto lostSwitch = gimbal(lost);
    const std::string lostPort = plugIn(bench, *lostSwitch, "lost switch");
    sim::Options restarting;
    restarting.faults = sim::faultsAt({{5, sim::Fault::Restart}});  // MCU 1's page 1
    auto restarted = gimbal(restarting);
    const std::string restartPort = plugIn(bench, *restarted, "restarting");
    sim::Options stray;
    stray.faults = sim::faultsAt({{0, sim::Fault::Stray}, {3, sim::Fault::Stray}, {11, sim::Fault::Stray}});
    auto strayed = gimbal(stray);
    const std::string strayPort = plugIn(bench, *strayed, "stray bytes");

    ASSERT_TRUE(child->waitForLine(finishedOn(strayPort, "upgraded"), kDeadline));
    expectImages(*strayed, bench);
    ASSERT_TRUE(child->waitForLine(finishedOn(restartPort, "send-failed"), kDeadline));
    ASSERT_TRUE(child->waitForLine(finishedOn(lostPort, "send-failed"), kDeadline));
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 7) << dump(r);

    std::map<std::string, Json> byPort;
    for (const Json& rec : bench.logged()) byPort[rec.value("port", "")] = rec;
    ASSERT_EQ(byPort.size(), 3u) << dump(r);
    EXPECT_EQ(byPort[strayPort]["result"], "upgraded");
    EXPECT_EQ(byPort[lostPort]["result"], "send-failed");
    EXPECT_EQ(byPort[lostPort]["code"], 7);
    EXPECT_EQ(byPort[lostPort]["pages"], 3);
    EXPECT_NE(byPort[lostPort]["message"].get<std::string>().find("no answer to the switch request after MCU 0"),
              std::string::npos)
        << byPort[lostPort];
    EXPECT_EQ(byPort[restartPort]["result"], "send-failed");
    EXPECT_EQ(byPort[restartPort]["code"], 7);
    EXPECT_NE(byPort[restartPort]["message"].get<std::string>().find("the gimbal restarted at MCU 1, page 1"),
              std::string::npos)
        << byPort[restartPort];
}

// A forged lock at a port's lock path (PID 1, which always lives, and no
// program name) holds nothing: the bench upgrades that gimbal and logs it.
TEST(FlashBench, AForgedLockMakesTheBenchSkipNoGimbal) {
    Bench bench;
    auto child = bench.watch();
    auto g = gimbal();
    const std::string forged = *gimbal::lockDirectory() + "/" + gimbal::lockFileNameFor(g->slavePath());
    std::ofstream(forged) << "1\n\n";
    plugIn(bench, *g, "forged lock");
    const bool logged = waitUntil([&] { return bench.logged().size() == 1; }, kDeadline);
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    ::unlink(forged.c_str());
    ASSERT_TRUE(logged) << dump(r);
    EXPECT_EQ(bench.logged()[0]["result"], "upgraded");
    EXPECT_EQ(r.exitCode, 0) << dump(r);
}

}  // namespace

namespace {

// A three-axis bench: one gimbal upgraded whole, one whose slave switch goes
// unanswered (3 s); each record says the dialect and counts blocks.
TEST(FlashBench, AThreeAxisBenchLogsItsDialectAndItsFailuresByName) {
    Bench bench;
    auto child = bench.watch({"--three-axis"});
    sim::Options blocks;
    blocks.dialect = sim::Dialect::Blocks;
    auto good = gimbal(blocks);
    blocks.silentAfter = 3;
    auto silent = gimbal(blocks);
    const std::string goodPort = plugIn(bench, *good, "good");
    const std::string silentPort = plugIn(bench, *silent, "silent");
    ASSERT_TRUE(child->waitForLine(finishedOn(goodPort, "upgraded"), kDeadline));
    ASSERT_TRUE(child->waitForLine(finishedOn(silentPort, "send-failed"), kDeadline));
    expectImages(*good, bench);
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 7) << dump(r);
    std::map<std::string, Json> byPort;
    for (const Json& rec : bench.logged()) byPort[rec["port"]] = rec;
    ASSERT_EQ(byPort.size(), 2u) << dump(r);
    EXPECT_EQ(byPort[goodPort]["dialect"], "three-axis");
    EXPECT_EQ(byPort[goodPort]["blocks"], 9);
    EXPECT_EQ(byPort[goodPort]["message"], "SEND OK");
    EXPECT_EQ(byPort[silentPort]["blocks"], 3);
    EXPECT_EQ(byPort[silentPort]["message"],
              "SLAVE SET FAILE!: no answer to the slave switch after image 1 within 3 s");
}

}  // namespace

namespace {

// What a production line asks of the log afterwards, and a station's slots:
// the unit in slot A3 is named A3 and confirmed at its new version; a port
// in no slot is left alone with a line, never opened.
TEST(FlashBench, TheRecordSaysImageAdapterSlotAndBothVersionsAndOnlySlotsAreOpened) {
    Bench bench;
    const std::string socket = bench.ports + "/socket-a3";
    std::ofstream(bench.root / "slots.txt") << "# station 1\nA3  " << socket << "\nA4 /dev/serial/by-path/none\n";
    auto child = bench.watch({"--slots", (bench.root / "slots.txt").string(), "--only-slots", "--expect-version",
                              "1.24", "--confirm-wait", "5"});
    sim::Options renewed;
    renewed.versionAfterUpgrade = 124;
    renewed.restartAfterUpgrade = std::chrono::milliseconds(100);
    auto inSlot = gimbal(renewed);
    auto stranger = gimbal();
    const std::string strangerPort = plugIn(bench, *stranger, "stranger");
    ASSERT_EQ(plugIn(bench, *inSlot, "socket-a3"), socket);
    ASSERT_TRUE(child->waitForLine(finishedOn(socket, "upgraded"), kDeadline));
    ::kill(child->pid(), SIGINT);
    const ChildResult r = child->finish(kDeadline);
    EXPECT_EQ(r.exitCode, 0) << dump(r);
    EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& l) {
        return l.find("\"port\":\"" + strangerPort + "\",\"text\":\"left alone: in no slot of ") != std::string::npos;
    })) << dump(r);
    EXPECT_EQ(stranger->stats().hangups + stranger->stats().framesReceived, 0u);

    const auto records = bench.logged();
    ASSERT_EQ(records.size(), 1u) << dump(r);
    const Json& rec = records[0];
    std::ifstream in(bench.root / "fw.bin", std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), {});
    const Json expected = {{"schema", 1},
                           {"dialect", "pages"},
                           {"slot", "A3"},
                           {"adapter", nullptr},
                           {"version_before", "1.23"},
                           {"version_after", "1.24"},
                           {"image",
                            {{"path", (bench.root / "fw.bin").string()},
                             {"sha256", flash::sha256Hex(file)},
                             {"crc", "0x" + [&] {
                                  char hex[8];
                                  std::snprintf(hex, sizeof hex, "%02X%02X", file[1], file[0]);
                                  return std::string(hex);
                              }()},
                             {"counts", {3, 2, 4}},
                             {"block_size", 1024}}}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(rec[key], value) << key;
    EXPECT_EQ(rec["tool"]["name"], "quenlo-flash");
    EXPECT_FALSE(rec["host"].get<std::string>().empty());
}

}  // namespace
