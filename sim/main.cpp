// gimbal-sim: a simulated gimbal on a pseudo-terminal for demos and scripts.
// Prints the terminal's path (or the path of its link among the virtual
// serial ports), plays until SIGINT, SIGTERM or SIGHUP (its terminal closed),
// then prints a summary of what it received, and with --out writes it into
// files. Signals arrive through a signalfd: no work in a handler.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "link/unique_fd.h"
#include "link/virtual_ports.h"
#include "sim/cli_options.h"
#include "sim/gimbal_sim.h"
#include "sim/run_report.h"
#include "sim/simulator_link.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool writableDirectory(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// Blocks the stop signals (before any thread exists, so every thread
// inherits the mask) and returns a descriptor that reads them. A signal
// inherited as ignored (SIGHUP under nohup) is left out: a blocked signal is
// queued for the signalfd even when its disposition is to ignore it.
gimbal::UniqueFd stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        sigaddset(&set, signal);
    }
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return gimbal::UniqueFd();
    return gimbal::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC));
}

void waitForStopSignal(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {}
    signalfd_siginfo info{};
    while (::read(fd, &info, sizeof info) < 0 && errno == EINTR) {}
}

int report(const sim::GimbalSim& gimbal, const sim::CliConfig& config) {
    std::vector<std::string> lines;
    std::string error;
    bool written = true;
    if (config.outDir.empty())
        lines = sim::segmentSummaries(gimbal, config.options.dialect);
    else
        written = sim::writeSegmentFiles(gimbal, config.options.dialect, config.outDir, lines, &error);
    lines.push_back(sim::statsSummary(gimbal.stats()) + (gimbal.vanished() ? ", vanished" : ""));
    // A closed terminal takes these lines nowhere; with --out the summary file
    // has them. Without it nothing is kept, that file neither.
    if (config.outDir.empty())
        lines.emplace_back("nothing was written; --out DIR keeps what was received");
    else if (written)
        written = sim::writeSummaryFile(config.outDir, lines, &error);
    for (const std::string& line : lines) std::cout << line << '\n';
    std::cout.flush();
    if (written) return 0;
    std::cerr << "gimbal-sim: " << error << '\n';
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    const sim::CliParse parsed = sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.outcome == sim::CliParse::Outcome::Help) {
        std::cout << sim::usageText();
        return 0;
    }
    if (parsed.outcome == sim::CliParse::Outcome::Version) {
        std::cout << sim::versionText() << std::endl;
        return 0;
    }
    if (parsed.outcome == sim::CliParse::Outcome::Error) {
        std::cerr << "gimbal-sim: " << parsed.error << "\nTry 'gimbal-sim --help'.\n";
        return kExitUsage;
    }
    const sim::CliConfig& config = parsed.config;
    // Checked now rather than after a whole upgrade has been played.
    if (!config.outDir.empty() && !writableDirectory(config.outDir)) {
        std::cerr << "gimbal-sim: --out " << config.outDir << ": not a writable directory\n";
        return kExitUsage;
    }
    ::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not cost the files
    const gimbal::UniqueFd signals = stopSignals();
    if (!signals.valid()) {
        std::cerr << "gimbal-sim: signalfd: " << std::strerror(errno) << '\n';
        return kExitFailure;
    }
    sim::Options options = config.options;
    options.faults = sim::faultPolicyFor(config);
    sim::GimbalSim gimbal(options);
    std::string error;
    if (!gimbal.start(&error)) {
        std::cerr << "gimbal-sim: " << error << '\n';
        return kExitFailure;
    }
    const std::string terminal = gimbal.slavePath();
    std::string link;
    if (!config.linkName.empty()) {
        link = sim::placeSimulatorLink(gimbal::virtualSerialFolder(), config.linkName, terminal, &error);
        if (link.empty()) {
            std::cerr << "gimbal-sim: --link " << config.linkName << ": " << error << '\n';
            gimbal.stop();
            return kExitFailure;
        }
    }
    std::cout << (link.empty() ? terminal : link) << std::endl;
    waitForStopSignal(signals.get());
    gimbal::removeVirtualSerialLink(link, terminal);
    gimbal.stop();
    return report(gimbal, config);
}
