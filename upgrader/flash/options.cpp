#include "upgrader/flash/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "upgrader/flash/exit_codes.h"

namespace flash {

namespace {

constexpr std::uint32_t kMaxBaud = 4000000;
constexpr double kMaxWaitSeconds = 24 * 3600;

std::optional<std::uint32_t> parseBaud(const std::string& text) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || value == 0 || value > kMaxBaud) return std::nullopt;
    return value;
}

// Seconds, whole or with a fraction; more than zero and at most a day.
std::optional<std::chrono::milliseconds> parseWait(const std::string& text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, seconds);
    if (ec != std::errc{} || ptr != end || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxWaitSeconds)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

// "--name value" or "--name=value"; advances i past what it used.
std::optional<std::string> valueOf(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                                   std::string& error) {
    const std::string& arg = args[i];
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0)
        return arg.substr(name.size() + 1);
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return std::nullopt;
    }
    return args[++i];
}

bool isOption(const std::string& arg, const std::string& name) {
    return arg == name || arg.rfind(name + "=", 0) == 0;
}

bool takeOption(const std::vector<std::string>& args, std::size_t& i, Options& o, std::string& error) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return o.help = true;
    if (arg == "--json") return o.json = true;
    if (isOption(arg, "--port")) {
        const auto v = valueOf(args, i, "--port", error);
        if (v && v->empty()) error = "--port needs a path";
        if (!v || v->empty()) return false;
        if (std::find(o.ports.begin(), o.ports.end(), *v) != o.ports.end()) {
            error = "port " + *v + " is given twice";
            return false;
        }
        o.ports.push_back(*v);
        return true;
    }
    if (isOption(arg, "--baud")) {
        const auto v = valueOf(args, i, "--baud", error);
        const auto rate = v ? parseBaud(*v) : std::nullopt;
        if (v && !rate) error = "--baud wants a rate from 1 to 4000000, not \"" + *v + "\"";
        if (rate) o.baud = *rate;
        return rate.has_value();
    }
    if (isOption(arg, "--wait")) {
        const auto v = valueOf(args, i, "--wait", error);
        const auto wait = v ? parseWait(*v) : std::nullopt;
        if (v && !wait) error = "--wait wants seconds above 0 and at most 86400, not \"" + *v + "\"";
        if (wait) o.wait = *wait;
        return wait.has_value();
    }
    error = "unknown option " + arg;
    return false;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    std::vector<std::string> files;
    bool onlyFiles = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!onlyFiles && arg == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            if (!takeOption(args, i, o, error)) return {std::nullopt, error};
        } else {
            files.push_back(arg);
        }
    }
    if (o.help) return {o, {}};
    if (files.size() != 1)
        return {std::nullopt, files.empty() ? "no firmware file given" : "give exactly one firmware file"};
    if (o.ports.empty()) return {std::nullopt, "no --port given"};
    o.file = files.front();
    return {o, {}};
}

std::string helpText() {
    return R"(Usage: quenlo-flash --port PATH [--port PATH ...] [--baud RATE] [--wait SECONDS] [--json] FILE

Upgrades the gimbal on each serial port with the firmware FILE, without a window.
For each port it opens the port, waits for the gimbal's version report, prints
it, asks the gimbal into upgrade mode, sends every page and prints
"Upgrade Complete!!". Several ports are upgraded at the same time, each by its
own engine, and one summary line per port is printed at the end.

Options:
  --port PATH       serial device of a gimbal (repeatable; each path once)
  --baud RATE       line speed, default 115200
  --wait SECONDS    how long to wait for the version report, default 10
  --json            one JSON object per line and event instead of text
  -h, --help        this text

There is no one to dismiss an alert: every alert is printed as a line, and
"send Failed" (a page unanswered for 30 seconds) ends that port's session,
where the window would wait for a late answer.

Exit codes:
  0  every port was upgraded
  1  internal error
  2  bad usage
  3  firmware file refused (unreadable, too short, or shorter than its page counts)
  4  port error: no such serial device, or open/setup/write failed (errno text and path are printed)
  5  device removed during the session
  6  no version report within --wait seconds
  7  send Failed: a page was not acknowledged within 30 seconds
With several ports, the exit code is that of the first port, in command-line
order, whose session failed; the other ports run to their own end regardless.
)";
}

}  // namespace flash
