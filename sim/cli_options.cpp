#include "sim/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>

#include "link/virtual_ports.h"

namespace sim {
namespace {

using Error = std::optional<std::string>;
using Handler = std::function<Error(CliConfig&, const std::string& value)>;

struct OptionSpec {
    const char* name;
    const char* valueName;  // nullptr: a flag without a value
    const char* help;
    Handler apply;
};

Error parseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    if (text.empty() || ec != std::errc() || ptr != end || out > max)
        return "expects a whole number from 0 to " + std::to_string(max) + ", not '" + text + "'";
    return std::nullopt;
}

template <class T>
Handler number(T Options::*field, std::uint64_t min = 0,
               std::uint64_t max = std::numeric_limits<T>::max()) {
    return [=](CliConfig& c, const std::string& v) -> Error {
        std::uint64_t n = 0;
        if (auto e = parseUnsigned(v, max, n)) return e;
        if (n < min) return "expects at least " + std::to_string(min) + ", not '" + v + "'";
        c.options.*field = static_cast<T>(n);
        return std::nullopt;
    };
}

Handler millis(std::chrono::milliseconds Options::*field, std::uint64_t min = 0) {
    return [=](CliConfig& c, const std::string& v) -> Error {
        std::uint64_t n = 0;
        if (auto e = parseUnsigned(v, 24ull * 3600 * 1000, n)) return e;
        if (n < min) return "expects at least " + std::to_string(min) + ", not '" + v + "'";
        c.options.*field = std::chrono::milliseconds(n);
        return std::nullopt;
    };
}

Handler faultList(Fault fault) {
    return [=](CliConfig& c, const std::string& v) -> Error {
        std::stringstream list(v);
        std::string item;
        bool any = false;
        while (std::getline(list, item, ',')) {
            std::uint64_t n = 0;
            if (parseUnsigned(item, std::numeric_limits<std::uint32_t>::max(), n))
                return "expects reply numbers like 3,7, not '" + v + "'";
            const auto [it, fresh] = c.faultsByReply.emplace(n, fault);
            if (!fresh && it->second != fault)
                return "reply " + item + " already has another fault";
            any = true;
        }
        if (!any) return std::string("expects reply numbers like 3,7");
        return std::nullopt;
    };
}

Error setDialect(CliConfig& c, const std::string& v) {
    if (v == "pages")
        c.options.dialect = Dialect::Pages;
    else if (v == "blocks")
        c.options.dialect = Dialect::Blocks;
    else
        return "expects pages or blocks, not '" + v + "'";
    return std::nullopt;
}

Error setLongAnnouncement(CliConfig& c, const std::string&) {
    c.options.longAnnouncement = true;
    return std::nullopt;
}

Error setProbability(CliConfig& c, const std::string& v) {
    char* end = nullptr;
    const double p = std::strtod(v.c_str(), &end);
    if (v.empty() || end != v.c_str() + v.size() || !(p >= 0.0 && p <= 1.0))
        return "expects a probability from 0 to 1, not '" + v + "'";
    c.randomProbability = p;
    return std::nullopt;
}

Error setSeed(CliConfig& c, const std::string& v) {
    return parseUnsigned(v, std::numeric_limits<std::uint64_t>::max(), c.seed);
}

Error setOut(CliConfig& c, const std::string& v) {
    if (v.empty()) return std::string("expects a directory");
    c.outDir = v;
    return std::nullopt;
}

Error setLink(CliConfig& c, const std::string& v) {
    if (!gimbal::isValidVirtualPortName(v))
        return std::string("expects a plain name without '/' that does not start with '.'");
    c.linkName = v;
    return std::nullopt;
}

const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> table{
        {"--dialect", "pages|blocks",
         "whose protocol to play: the desktop upgrader's 1024-byte pages (default) or the "
         "three-axis updater's blocks",
         setDialect},
        {"--version", "N", "firmware version to announce, 0-65535 (default 123, shown as 1.23)",
         number(&Options::version)},
        {"--long-announcement", nullptr, "announce in the 32-byte form instead of the 12-byte one",
         setLongAnnouncement},
        {"--block-size", "N",
         "block size to announce in the blocks dialect, 0-65535 (default 1024)",
         number(&Options::blockSize)},
        {"--baud", "N", "pace both directions at N baud, 10 bits a byte (default 0: unpaced)",
         number(&Options::baud)},
        {"--announce-ms", "N", "announce every N ms until answered (default 500)",
         millis(&Options::announcePeriod, 1)},
        {"--drop", "LIST", "do not send these replies", faultList(Fault::Drop)},
        {"--delay", "LIST", "send these replies late (see --delay-ms)", faultList(Fault::Delay)},
        {"--duplicate", "LIST", "send these replies twice", faultList(Fault::Duplicate)},
        {"--corrupt", "LIST", "invert the last CRC byte of these replies",
         faultList(Fault::CorruptCrc)},
        {"--split", "LIST", "write these replies in pieces (see --split-pieces, --split-gap-ms)",
         faultList(Fault::Split)},
        {"--noise", "LIST", "put noise bytes in front of these replies (see --noise-bytes)",
         faultList(Fault::Noise)},
        {"--wrong-address", "LIST", "send these replies with address 01",
         faultList(Fault::WrongAddress)},
        {"--random-faults", "P",
         "give each reply not listed above, with probability P, one of the faults above",
         setProbability},
        {"--seed", "S", "seed of --random-faults (default 1); the same seed gives the same faults",
         setSeed},
        {"--silent-after", "N", "answer N replies, then send nothing more, announcements included",
         number(&Options::silentAfter)},
        {"--vanish-after", "N",
         "answer N replies, then close the pseudo-terminal instead of the next (the program goes "
         "on until interrupted)",
         number(&Options::vanishAfter)},
        {"--delay-ms", "N", "how late a delayed reply is sent (default 300)",
         millis(&Options::delay)},
        {"--split-pieces", "N", "pieces of a split reply, at least 2 (default 2)",
         number(&Options::splitPieces, 2, 1024)},
        {"--split-gap-ms", "N", "time between the pieces of a split reply (default 30)",
         millis(&Options::splitGap)},
        {"--noise-bytes", "N", "noise bytes before a noisy reply, never 0x55 (default 5)",
         number(&Options::noiseBytes, 0, 65536)},
        {"--out", "DIR", "where to write what was received at exit (default: current directory)",
         setOut},
        {"--link", "NAME",
         "also place a link NAME to the terminal in the per-user folder of virtual serial ports "
         "($XDG_RUNTIME_DIR/virtual-serial), where both tools list it; print the link's path "
         "instead of the terminal's, and remove the link at exit",
         setLink},
    };
    return table;
}

const OptionSpec* findOption(const std::string& name) {
    for (const OptionSpec& spec : optionTable())
        if (name == spec.name) return &spec;
    return nullptr;
}

Error crossCheck(const CliConfig& c, const std::vector<std::string>& seen) {
    const auto given = [&](const char* name) {
        return std::find(seen.begin(), seen.end(), name) != seen.end();
    };
    if (given("--block-size") && c.options.dialect == Dialect::Pages)
        return std::string("--block-size applies to --dialect blocks; pages are always 1024 bytes");
    if (given("--seed") && !c.randomProbability) return std::string("--seed needs --random-faults");
    return std::nullopt;
}

}  // namespace

CliParse parseCommandLine(const std::vector<std::string>& args) {
    CliParse result;
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") return {CliParse::Outcome::Help, {}, {}};
        const std::size_t eq = args[i].find('=');
        const std::string name = args[i].substr(0, eq);
        const OptionSpec* spec = findOption(name);
        if (!spec) return {CliParse::Outcome::Error, {}, "unknown option '" + args[i] + "'"};
        std::string value;
        if (eq != std::string::npos) {
            value = args[i].substr(eq + 1);
        } else if (spec->valueName) {
            if (i + 1 >= args.size())
                return {CliParse::Outcome::Error, {}, name + " needs a value"};
            value = args[++i];
        }
        if (!spec->valueName && eq != std::string::npos)
            return {CliParse::Outcome::Error, {}, name + " takes no value"};
        if (Error e = spec->apply(result.config, value))
            return {CliParse::Outcome::Error, {}, name + " " + *e};
        seen.push_back(name);
    }
    if (Error e = crossCheck(result.config, seen)) return {CliParse::Outcome::Error, {}, *e};
    return result;
}

namespace {

constexpr std::size_t kHelpColumn = 30;
constexpr std::size_t kHelpWidth = 79;

// One option's line of help, its text wrapped under the help column.
void appendOptionHelp(std::ostringstream& out, std::string left, const std::string& text) {
    std::istringstream words(text);
    std::string word;
    std::string line = left.size() < kHelpColumn ? left.append(kHelpColumn - left.size(), ' ')
                                                 : left + "\n" + std::string(kHelpColumn, ' ');
    std::size_t width = line.size() - line.rfind('\n') - 1;
    bool first = true;
    while (words >> word) {
        if (!first && width + 1 + word.size() > kHelpWidth) {
            line += "\n" + std::string(kHelpColumn, ' ');
            width = kHelpColumn;
        } else if (!first) {
            line += ' ';
            ++width;
        }
        line += word;
        width += word.size();
        first = false;
    }
    out << line << '\n';
}

}  // namespace

std::string usageText() {
    std::ostringstream out;
    out << "Usage: gimbal-sim [OPTION]...\n"
           "Plays a gimbal's boot firmware on a pseudo-terminal. Prints the terminal's path\n"
           "(with --link, the link's) alone on the first line, runs until interrupted (SIGINT or SIGTERM), then writes\n"
           "what it received, one file per MCU (mcu0.bin ...) or image (image1.bin ...), the\n"
           "latest data of each block in index order, and prints a summary.\n\n"
           "Replies (block and switch acknowledgements) are numbered from 0; a LIST is\n"
           "reply numbers separated by commas, e.g. --drop 3,7.\n\n";
    for (const OptionSpec& spec : optionTable()) {
        std::string left = std::string("  ") + spec.name;
        if (spec.valueName) left += std::string(" ") + spec.valueName;
        appendOptionHelp(out, left, spec.help);
    }
    appendOptionHelp(out, "  -h, --help", "show this text");
    out << "\nExit status: 0 after a normal stop, 1 when the terminal or the files failed,\n"
           "2 for a bad command line.\n";
    return out.str();
}

FaultPolicy faultPolicyFor(const CliConfig& config) {
    FaultPolicy byNumber =
        config.faultsByReply.empty() ? FaultPolicy{} : faultsAt(config.faultsByReply);
    FaultPolicy random;
    if (config.randomProbability)
        random = randomFaults(config.seed, *config.randomProbability,
                              {Fault::Drop, Fault::Delay, Fault::Duplicate, Fault::CorruptCrc,
                               Fault::Split, Fault::Noise, Fault::WrongAddress});
    if (!byNumber && !random) return {};
    return [byNumber, random](const ReplyInfo& info) {
        const Fault chosen = byNumber ? byNumber(info) : Fault::None;
        if (chosen != Fault::None || !random) return chosen;
        return random(info);
    };
}

}  // namespace sim
