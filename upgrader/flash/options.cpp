#include "upgrader/flash/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "cli/command_line.h"
#include "link/serial_locks.h"

namespace flash {

namespace {

constexpr char kProgram[] = "quenlo-flash";
constexpr std::uint32_t kMaxBaud = 4000000;
constexpr double kMaxWaitSeconds = 24 * 3600;

constexpr char kDescription[] =
    R"(Upgrades the gimbal on each serial port with the firmware FILE, without a window.
For each port it opens the port, waits for the gimbal's version report, prints
it, asks the gimbal into upgrade mode, sends every page and prints
"Upgrade Complete!!". Several ports are upgraded at the same time, each by its
own engine, and one summary line per port is printed at the end.

With --watch it is a flashing bench: it upgrades every serial port that
appears after it started (an adapter plugged in, a virtual port placed), each
once per appearance, several at once, until Ctrl-C. Ports present at its start
are never opened. A gimbal unplugged and plugged in again is upgraded again.

With --three-axis it speaks to a three-axis gimbal as its updater does: the
gimbal's announcement is answered until the first block and sets the block
size (1 to 2100 bytes; the file must be built for it), each block goes out up
to three times about 3 seconds apart, and the slave switch carries the byte
01. It ends with "SEND OK", "SEND FAIL" or "SLAVE SET FAILE!".)";

constexpr char kFooter[] = R"(There is no one to dismiss an alert: every alert is printed as a line, and
"send Failed" (a page or switch request unanswered for 30 seconds) ends that
port's session, where the window would wait for a late answer. A gimbal that
reports its version again in the middle of the upgrade has restarted: the
session ends at once, with the MCU and page it stood at (exit 7). With
--three-axis the same holds for "SEND FAIL" (a block unanswered after its
third send) and "SLAVE SET FAILE!" (a switch unanswered for 3 seconds), named
with the image and block. One that announces itself again before
acknowledging the first page, although it was answered, is sent bytes that
complete any frame it may be waiting for (an echo at an adapter's first open
can leave it so), answered again and started over once; if it goes on
announcing, the session ends (exit 7).

Exit codes:
  0  every port was upgraded
  1  internal error
  2  bad usage
  3  firmware file refused (unreadable, not a regular file, larger than any
     header can describe, too short, shorter than its page counts, an MCU with
     a page count of 0, or its stored CRC does not match its contents; see
     --ignore-crc); bytes after the last page are only a warning. With
     --three-axis: an announced block size of 0 or above 2100, or a file not
     built for the announced block size (checked before anything is sent)
  4  port error: no such serial device, or open/setup/write failed; a port that
     cannot be opened is printed with why (no permission, which program holds
     it, unplugged) and how to fix it
  5  device removed during the session
  6  no version report within --wait seconds
  7  send Failed: a page or a switch request was not acknowledged within 30
     seconds, or the gimbal restarted (reported its version again) in the
     middle of the upgrade; run the upgrade again. With --three-axis: SEND
     FAIL or SLAVE SET FAILE!, or a restart
  8  --watch only: a port that appeared was held by another program and left
     to it (logged as left-alone), so not every gimbal was upgraded here
  9  --expect-version: the restarted gimbal announced another version
  10 --expect-version: no announcement within --confirm-wait seconds after the
     upgrade
  129, 130, 143  stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM: every port is
     closed and the page each upgrade stood at is printed; the gimbal stays in
     upgrade mode until a whole upgrade completes, so run again; a signal
     ignored at the start (SIGHUP under nohup) stays ignored
With several ports, the exit code is that of the first port, in command-line
order, whose session failed; the other ports run to their own end regardless.
With --watch: 0 when nothing failed, 130/143/129 when the signal that stopped
it interrupted an upgrade, else the code of the first upgrade that failed or
port left alone (1 when a result could not be written to the --log file).

Output: results and progress go to standard output, one summary line per port
at the end (failed ports too); errors, warnings and interruptions go to
standard error, so `> log` keeps the results and the terminal still shows what
went wrong. Standard output that cannot be written (a closed pipe) never
stops an upgrade; one line on standard error says so. With --json, standard
output carries only JSON lines, errors included, and standard error only
--verbose lines.)";

// Seconds, whole or with a fraction; more than zero and at most a day.
std::optional<std::chrono::milliseconds> parseWait(const std::string& text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, seconds);
    if (ec != std::errc{} || ptr != end || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxWaitSeconds)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

// --wait and --confirm-wait: what parseWait takes, refused with one text.
CLI::Validator secondsCheck() {
    return cli::check([](std::string& v) {
        return parseWait(v) ? std::string() : "wants seconds above 0 and at most 86400, not \"" + v + "\"";
    });
}

struct CommandLine {
    Options options;
    std::vector<std::string> files;  // exactly one is wanted; counted after parsing
    std::string wait = "10";
    std::string confirmWait = "30";
};

// The options, bound to `line`; --help is made from these definitions.
std::unique_ptr<CLI::App> commandLine(CommandLine& line) {
    Options& o = line.options;
    auto app = cli::makeApp(kProgram, kDescription, kFooter);
    app->get_formatter()->column_width(20);
    app->add_option("--port", o.ports, "serial device of a gimbal; repeat it for several gimbals, each path once")
        ->type_name("PATH")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(cli::check([](std::string& v) { return v.empty() ? std::string("needs a path") : std::string(); }))
        ->group("Ports");
    app->add_option("--baud", o.baud, "line speed")
        ->type_name("RATE")
        ->capture_default_str()
        ->transform(cli::wholeNumber(1, kMaxBaud,
                                     [](const std::string& v) {
                                         return "wants a rate from 1 to " + std::to_string(kMaxBaud) + ", not \"" + v +
                                                "\"";
                                     }))
        ->group("Ports");
    app->add_option("--wait", line.wait, "how long to wait for the version report")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(secondsCheck())
        ->group("Ports");
    app->add_flag("--three-axis", o.threeAxis,
                  "speak the three-axis updater's blocks (announced block size, three sends 3 s apart) instead of "
                  "the upgrader's pages")
        ->group("Firmware");
    app->add_flag("--ignore-crc", o.ignoreCrc,
                  "flash the file even when its stored CRC does not match its contents (one warning line)")
        ->group("Firmware");
    app->add_flag("--list", o.list,
                  "list the serial ports with their USB facts and whether each can be used now, then exit; "
                  "takes no FILE and no --port, and opens no device")
        ->group("Ports");
    app->add_flag("--watch", o.watch, "upgrade every port that appears from now on, until stopped; takes no --port")
        ->group("Bench");
    app->add_option("--log", o.log, "with --watch: append one JSON line per finished upgrade to FILE, on disk at once")
        ->type_name("FILE")
        ->check(cli::check([](std::string& v) { return v.empty() ? std::string("needs a file") : std::string(); }))
        ->group("Bench");
    app->add_option_function<std::string>(
           "--expect-version", [&o](const std::string& v) { o.expectVersion = v; },
           "after the upgrade, wait for the restarted gimbal's announcement (answering nothing) and end "
           "with 0 only when it reports version V, as shown (1.24)")
        ->type_name("V")
        ->check(cli::check([](std::string& v) { return v.empty() ? std::string("needs a version") : std::string(); }))
        ->group("Confirmation");
    app->add_option("--confirm-wait", line.confirmWait, "how long --expect-version waits for the announcement")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(secondsCheck())
        ->group("Confirmation");
    app->add_option("--slots", o.slotsFile,
                    "a file of slots, one a line: a label and the adapter's physical path "
                    "(/dev/serial/by-path/...) or device; lines, log and summary name the slot")
        ->type_name("FILE")
        ->check(cli::check([](std::string& v) { return v.empty() ? std::string("needs a file") : std::string(); }))
        ->group("Bench");
    app->add_flag("--only-slots", o.onlySlots, "with --slots: leave alone every port that is in no slot")
        ->group("Bench");
    app->add_flag("--json", o.json, "one JSON object per line and event instead of text")->group("Output");
    app->add_flag("-q,--quiet", o.quiet, "print only the summary lines; errors and warnings still go to standard error")
        ->group("Output");
    app->add_flag("-v,--verbose", o.verbose,
                  "also print the upgrade's diagnostic lines (pages sent, bytes received, line settings) on "
                  "standard error, each after its port")
        ->group("Output");
    app->add_option("FILE", line.files, "the firmware file")->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cli::addHelp(*app, true);
    return app;
}

// One device under two spellings (a virtual port's link and its terminal, a
// by-id alias) would have two sessions fight over it.
std::optional<std::string> portGivenTwice(const std::vector<std::string>& ports) {
    std::vector<std::string> devices;
    for (const auto& port : ports) devices.push_back(gimbal::resolvedDevicePath(port));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (ports[j] == ports[i]) return "port " + ports[i] + " is given twice";
            if (devices[j] == devices[i])
                return "ports " + ports[j] + " and " + ports[i] + " are the same device (" + devices[i] + ")";
        }
    }
    return std::nullopt;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    CommandLine line;
    const auto app = commandLine(line);
    const cli::Parse parsed = cli::parse(*app, args);
    Options& o = line.options;
    switch (parsed.outcome) {
        case cli::Parse::Outcome::Error:
            return {std::nullopt, parsed.text};
        case cli::Parse::Outcome::Help:
            o.help = true;
            return {o, {}};
        case cli::Parse::Outcome::Version:
            o.version = true;
            return {o, {}};
        case cli::Parse::Outcome::Run:
            break;
    }
    if (o.quiet && o.verbose) return {std::nullopt, "--quiet and --verbose cannot be used together"};
    if (auto twice = portGivenTwice(o.ports)) return {std::nullopt, *twice};
    if (o.watch && o.list) return {std::nullopt, "--watch and --list cannot be used together"};
    if (o.list) {
        if (!line.files.empty() || !o.ports.empty())
            return {std::nullopt, "--list takes no firmware file and no --port"};
        return {o, {}};
    }
    if (o.watch && !o.ports.empty())
        return {std::nullopt, "--watch takes no --port: it upgrades every port that appears"};
    if (!o.log.empty() && !o.watch) return {std::nullopt, "--log is for --watch"};
    if (line.files.size() != 1)
        return {std::nullopt, line.files.empty() ? "no firmware file given" : "give exactly one firmware file"};
    if (o.ports.empty() && !o.watch) return {std::nullopt, "no --port given (or --watch)"};
    if (app->count("--confirm-wait") > 0 && !o.expectVersion)
        return {std::nullopt, "--confirm-wait is for --expect-version"};
    if (o.onlySlots && o.slotsFile.empty()) return {std::nullopt, "--only-slots needs --slots"};
    if (o.onlySlots && !o.watch) return {std::nullopt, "--only-slots is for --watch"};
    o.wait = *parseWait(line.wait);
    o.confirmWait = *parseWait(line.confirmWait);
    o.file = line.files.front();
    return {o, {}};
}

engine::Dialect dialectOf(const Options& options) {
    return options.threeAxis ? engine::Dialect::threeAxis() : engine::Dialect::pages();
}

void applyTestPageTimeout(Options& options, const char* milliseconds) {
    if (!milliseconds) return;
    const std::string_view text(milliseconds);
    long long ms = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (ec == std::errc{} && ptr == text.data() + text.size() && ms > 0 && ms <= engine::Dialect::pages().answerWait.count())
        options.pageTimeout = std::chrono::milliseconds(ms);
}

std::string helpText() {
    CommandLine line;
    return commandLine(line)->help();
}

std::string versionText() {
    return cli::versionLine(kProgram);
}

std::string toolVersion() {
    const std::string line = versionText();
    const std::size_t space = line.rfind(' ');
    return space == std::string::npos ? line : line.substr(space + 1);
}

}  // namespace flash
