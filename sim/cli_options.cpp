#include "sim/cli_options.h"

#include <array>
#include <cstdlib>
#include <limits>

#include "cli/command_line.h"
#include "link/virtual_ports.h"

namespace sim {
namespace {

constexpr std::uint64_t kMaxMillis = 24ull * 3600 * 1000;

constexpr char kDescription[] =
    R"(Plays a gimbal's boot firmware on a pseudo-terminal. Prints the terminal's path
(with --link, the link's) alone on the first line, runs until interrupted
(SIGINT, SIGTERM, or SIGHUP when its terminal closes), then prints a summary
of what it received. Only with --out does it write files: one per MCU
(mcu0.bin ...) or image (image1.bin ...), the latest data of each block in
index order (a second upgrade's files are run2-mcu0.bin ..., and so on), and
the summary, kept in gimbal-sim-summary.txt.

Replies (block and switch acknowledgements) are numbered from 0; a LIST is
reply numbers separated by commas, e.g. --drop 3,7.)";

constexpr char kFooter[] = R"(gimbal-sim --version alone shows the program's version.

Exit status: 0 after a normal stop, 1 when the terminal or the files failed,
2 for a bad command line.)";

struct FaultOption {
    const char* name;
    Fault fault;
    const char* help;
};

constexpr std::array<FaultOption, 9> kFaultOptions{{
    {"--drop", Fault::Drop, "do not send these replies"},
    {"--delay", Fault::Delay, "send these replies late (see --delay-ms)"},
    {"--duplicate", Fault::Duplicate, "send these replies twice"},
    {"--corrupt", Fault::CorruptCrc, "invert the last CRC byte of these replies"},
    {"--split", Fault::Split, "write these replies in pieces (see --split-pieces, --split-gap-ms)"},
    {"--noise", Fault::Noise, "put noise bytes in front of these replies (see --noise-bytes)"},
    {"--wrong-address", Fault::WrongAddress, "send these replies with address 01"},
    {"--stray", Fault::Stray,
     "put the stray bytes 55 AA 00 03 00 04 (a header no reply has) in front of these replies"},
    {"--restart", Fault::Restart,
     "restart instead of sending these replies: announce again until answered, as after power-up"},
}};

struct CommandLine {
    CliConfig config;
    std::array<std::vector<std::uint32_t>, kFaultOptions.size()> replies;  // per fault option
};

CLI::Validator number(std::uint64_t min, std::uint64_t max) {
    return cli::wholeNumber(min, max, [=](const std::string& v) {
        return "expects a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not '" + v +
               "'";
    });
}

template <class T>
CLI::Option* addNumber(CLI::App& app, const char* name, T& field, const char* help, std::uint64_t min = 0,
                       std::uint64_t max = std::numeric_limits<T>::max()) {
    return app.add_option(name, field, help)->type_name("N")->transform(number(min, max));
}

CLI::Option* addMillis(CLI::App& app, const char* name, std::chrono::milliseconds& field, const char* help,
                       std::uint64_t min = 0) {
    return app
        .add_option_function<std::uint64_t>(
            name, [&field](const std::uint64_t& n) { field = std::chrono::milliseconds(n); }, help)
        ->type_name("N")
        ->default_str(std::to_string(field.count()))
        ->transform(number(min, kMaxMillis));
}

// The options, bound to `line`; --help is made from these definitions.
std::unique_ptr<CLI::App> commandLine(CommandLine& line) {
    CliConfig& c = line.config;
    Options& o = c.options;
    auto app = cli::makeApp("gimbal-sim", kDescription, kFooter);

    app->add_option_function<std::string>(
           "--dialect", [&o](const std::string& v) { o.dialect = v == "blocks" ? Dialect::Blocks : Dialect::Pages; },
           "whose protocol to play: the desktop upgrader's 1024-byte pages or the three-axis updater's blocks")
        ->type_name("pages|blocks")
        ->default_str("pages")
        ->check(cli::check([](std::string& v) {
            return v == "pages" || v == "blocks" ? std::string() : "expects pages or blocks, not '" + v + "'";
        }))
        ->group("Protocol");
    // --version was its first name; scripts still pass it with a number.
    addNumber(*app, "--firmware-version,--version", o.version,
              "firmware version to announce, 0-65535; 123 is shown as 1.23")
        ->capture_default_str()
        ->group("Protocol");
    app->add_flag("--long-announcement", o.longAnnouncement, "announce in the 32-byte form instead of the 12-byte one")
        ->group("Protocol");
    addNumber(*app, "--block-size", o.blockSize, "block size to announce in the blocks dialect, 0-65535")
        ->capture_default_str()
        ->group("Protocol");
    addNumber(*app, "--baud", o.baud, "pace both directions at N baud, 10 bits a byte; 0 leaves them unpaced")
        ->capture_default_str()
        ->group("Protocol");
    addMillis(*app, "--announce-ms", o.announcePeriod, "announce every N ms until answered", 1)->group("Protocol");
    app->add_option_function<std::uint16_t>(
           "--restart-with-version", [&o](const std::uint16_t& v) { o.versionAfterUpgrade = v; },
           "after the last MCU's or image's blocks, restart and announce firmware version N (the new "
           "firmware running); without it the gimbal stays quiet after an upgrade")
        ->type_name("N")
        ->transform(number(0, 65535))
        ->group("Protocol");
    addMillis(*app, "--restart-after-ms", o.restartAfterUpgrade,
              "with --restart-with-version: how long after the last block the gimbal restarts")
        ->group("Protocol");

    for (std::size_t i = 0; i < kFaultOptions.size(); ++i)
        app->add_option(kFaultOptions[i].name, line.replies[i], kFaultOptions[i].help)
            ->type_name("LIST")
            ->delimiter(',')
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->transform(cli::wholeNumber(
                0, std::numeric_limits<std::uint32_t>::max(),
                [](const std::string& v) { return "expects reply numbers like 3,7, not '" + v + "'"; }))
            ->group("Faults");
    app->add_option_function<double>(
           "--random-faults", [&c](const double& p) { c.randomProbability = p; },
           "give each reply not listed above, with probability P, one of the faults above from --drop to "
           "--wrong-address")
        ->type_name("P")
        ->check(cli::check([](std::string& v) {
            char* end = nullptr;
            const double p = std::strtod(v.c_str(), &end);
            const bool good = !v.empty() && end == v.c_str() + v.size() && p >= 0.0 && p <= 1.0;
            return good ? std::string() : "expects a probability from 0 to 1, not '" + v + "'";
        }))
        ->group("Faults");
    addNumber(*app, "--seed", c.seed, "seed of --random-faults; the same seed gives the same faults")
        ->capture_default_str()
        ->type_name("S")
        ->group("Faults");
    addNumber(*app, "--silent-after", o.silentAfter, "answer N replies, then send nothing more, announcements included")
        ->group("Faults");
    addNumber(*app, "--vanish-after", o.vanishAfter,
              "answer N replies, then close the pseudo-terminal instead of the next (the program goes on until "
              "interrupted)")
        ->group("Faults");

    addMillis(*app, "--delay-ms", o.delay, "how late a delayed reply is sent")->group("Fault details");
    addNumber(*app, "--split-pieces", o.splitPieces, "pieces of a split reply, 2 to 1024", 2, 1024)
        ->capture_default_str()
        ->group("Fault details");
    addMillis(*app, "--split-gap-ms", o.splitGap, "time between the pieces of a split reply")->group("Fault details");
    addNumber(*app, "--noise-bytes", o.noiseBytes, "noise bytes before a noisy reply, never 0x55", 0, 65536)
        ->capture_default_str()
        ->group("Fault details");

    // Whether it is writable is checked at start.
    app->add_option("--out", c.outDir, "write what was received into DIR at exit (without --out, no files are written)")
        ->type_name("DIR")
        ->check(
            cli::check([](std::string& v) { return v.empty() ? std::string("expects a directory") : std::string(); }))
        ->group("Output");
    app->add_option("--link", c.linkName,
                    "also place a link NAME to the terminal in the per-user folder of virtual serial ports "
                    "($XDG_RUNTIME_DIR/virtual-serial), where both tools list it; print the link's path instead "
                    "of the terminal's, and remove the link at exit")
        ->type_name("NAME")
        ->check(cli::check([](std::string& v) {
            return gimbal::isValidVirtualPortName(v)
                       ? std::string()
                       : std::string("expects a plain name without '/' that does not start with '.'");
        }))
        ->group("Output");

    // --version with a number is the announced firmware's (its first name);
    // alone it shows the program's version, see parseCommandLine().
    cli::addHelp(*app, false);
    return app;
}

std::optional<std::string> crossCheck(const CLI::App& app, const CliConfig& c) {
    if (app.count("--block-size") > 0 && c.options.dialect == Dialect::Pages)
        return std::string("--block-size applies to --dialect blocks; pages are always 1024 bytes");
    if (app.count("--seed") > 0 && !c.randomProbability) return std::string("--seed needs --random-faults");
    return std::nullopt;
}

}  // namespace

CliParse parseCommandLine(const std::vector<std::string>& args) {
    if (args == std::vector<std::string>{"--version"}) return {CliParse::Outcome::Version, {}, {}};
    CommandLine line;
    const auto app = commandLine(line);
    const cli::Parse parsed = cli::parse(*app, args);
    if (parsed.outcome == cli::Parse::Outcome::Help) return {CliParse::Outcome::Help, {}, {}};
    if (parsed.outcome != cli::Parse::Outcome::Run) return {CliParse::Outcome::Error, {}, parsed.text};
    if (const auto error = crossCheck(*app, line.config)) return {CliParse::Outcome::Error, {}, *error};
    for (std::size_t i = 0; i < kFaultOptions.size(); ++i) {
        for (const std::uint32_t reply : line.replies[i]) {
            const auto [it, fresh] = line.config.faultsByReply.emplace(reply, kFaultOptions[i].fault);
            if (!fresh && it->second != kFaultOptions[i].fault)
                return {CliParse::Outcome::Error, {}, "reply " + std::to_string(reply) + " already has another fault"};
        }
    }
    return {CliParse::Outcome::Run, line.config, {}};
}

std::string versionText() {
    return cli::versionLine("gimbal-sim");
}

std::string usageText() {
    CommandLine line;
    return commandLine(line)->help();
}

FaultPolicy faultPolicyFor(const CliConfig& config) {
    FaultPolicy byNumber = config.faultsByReply.empty() ? FaultPolicy{} : faultsAt(config.faultsByReply);
    FaultPolicy random;
    if (config.randomProbability)
        random = randomFaults(config.seed, *config.randomProbability,
                              {Fault::Drop, Fault::Delay, Fault::Duplicate, Fault::CorruptCrc, Fault::Split,
                               Fault::Noise, Fault::WrongAddress});
    if (!byNumber && !random) return {};
    return [byNumber, random](const ReplyInfo& info) {
        const Fault chosen = byNumber ? byNumber(info) : Fault::None;
        if (chosen != Fault::None || !random) return chosen;
        return random(info);
    };
}

}  // namespace sim
