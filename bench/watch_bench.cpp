// The flashing bench under load: quenlo-flash --watch runs as a child process
// (the real program, as on a bench), and N simulated gimbals pacing their
// lines at 230400 baud appear at once as virtual ports. For each N it prints
// the wall time from a gimbal's appearance to its result on the bench's
// standard output (mean and slowest, and the slowest against one gimbal's),
// the bench's processor time per page and its peak resident memory. With
// --three-axis the bench and the gimbals speak the three-axis blocks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/firmware_file.h"
#include "link/virtual_ports.h"
#include "sim/gimbal_sim.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using gimbal::Bytes;

constexpr std::uint32_t kBaud = 230400;
constexpr std::size_t kPagesPerImage = 16;  // 48 pages a gimbal
constexpr std::size_t kPages = 3 * kPagesPerImage;
constexpr int kCounts[] = {1, 8, 32, 64};
constexpr auto kDeadline = std::chrono::seconds(120);
bool threeAxis = false;  // --three-axis

Bytes imageBytes(std::size_t image) {
    Bytes bytes(kPagesPerImage * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(image * 89 + i * 7 + i / 1021);
    return bytes;
}

// quenlo-flash --watch with its standard output read line by line.
class Watcher {
public:
    Watcher(const fs::path& runtime, const std::string& file) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string program = QUENLO_FLASH_PATH;
        std::vector<std::string> args{program, "--watch", "--json", "--quiet", "--baud", std::to_string(kBaud), file};
        if (threeAxis) args.insert(args.begin() + 1, "--three-axis");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string runtimeEntry = "XDG_RUNTIME_DIR=" + runtime.string();
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) envp.push_back(*e);
        envp.push_back(runtimeEntry.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Watcher() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
    }

    // The next whole line, or none at the deadline or the end.
    std::optional<std::string> line(Clock::time_point deadline) {
        for (;;) {
            if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string l = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return std::nullopt;
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Stops it with SIGINT; its processor time and peak resident memory.
    bool stop(rusage& usage) {
        ::kill(pid_, SIGINT);
        while (line(Clock::now() + kDeadline)) {}
        int status = 0;
        const bool ok = ::wait4(pid_, &status, 0, &usage) == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        pid_ = -1;
        return ok;
    }

    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string pending_;
};

std::string eventOf(const nlohmann::json& j) {
    return j.is_object() ? j.value("event", "") : "";
}

struct Row {
    int gimbals = 0;
    double meanSeconds = 0, slowestSeconds = 0;
    double cpuPerPageMs = 0;
    long residentKiB = 0;
    std::string failure;
};

Row run(int count, const std::string& file, const fs::path& root) {
    Row row;
    row.gimbals = count;
    const fs::path runtime = root / ("runtime-" + std::to_string(count));
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const std::string folder = (runtime / "virtual-serial").string();

    Watcher watcher(runtime, file);
    const auto deadline = Clock::now() + kDeadline;
    bool watching = false;
    while (!watching) {
        const auto l = watcher.line(deadline);
        if (!l) return row.failure = "the bench did not start", row;
        watching = eventOf(nlohmann::json::parse(*l, nullptr, false)) == "watching";
    }

    std::vector<std::unique_ptr<sim::GimbalSim>> gimbals;
    for (int i = 0; i < count; ++i) {
        sim::Options options;
        options.dialect = threeAxis ? sim::Dialect::Blocks : sim::Dialect::Pages;
        options.baud = kBaud;
        options.delay = std::chrono::milliseconds(0);
        options.splitGap = std::chrono::milliseconds(0);
        options.noiseBytes = 0;
        options.announcePeriod = std::chrono::milliseconds(20);
        gimbals.push_back(std::make_unique<sim::GimbalSim>(options));
        std::string error;
        if (!gimbals.back()->start(&error)) return row.failure = error, row;
    }
    std::map<std::string, Clock::time_point> appeared;
    std::map<std::string, std::size_t> gimbalOf;
    for (int i = 0; i < count; ++i) {
        std::string error;
        const std::string path = gimbal::placeVirtualSerialLink(
            folder, "gimbal-" + std::to_string(i), gimbals[static_cast<std::size_t>(i)]->slavePath(), &error);
        if (path.empty()) return row.failure = error, row;
        appeared[path] = Clock::now();
        gimbalOf[path] = static_cast<std::size_t>(i);
    }
    std::vector<double> seconds;
    while (static_cast<int>(seconds.size()) < count) {
        const auto l = watcher.line(deadline);
        if (!l) return row.failure = "results missing", row;
        const auto j = nlohmann::json::parse(*l, nullptr, false);
        if (eventOf(j) != "finished") continue;
        const auto at = appeared.find(j.value("port", ""));
        if (at == appeared.end()) continue;
        if (j.value("result", "") != "upgraded") return row.failure = at->first + ": " + l->c_str(), row;
        seconds.push_back(std::chrono::duration<double>(Clock::now() - at->second).count());
        const sim::GimbalSim& g = *gimbals[gimbalOf[at->first]];
        for (std::size_t image = 0; image < 3; ++image)
            if (g.image(image) != imageBytes(image)) return row.failure = at->first + ": image differs", row;
    }
    rusage usage{};
    if (!watcher.stop(usage)) row.failure = "the bench did not stop cleanly";
    const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    row.meanSeconds = 0;
    for (double s : seconds) row.meanSeconds += s / count;
    row.slowestSeconds = *std::max_element(seconds.begin(), seconds.end());
    row.cpuPerPageMs = (cpu(usage.ru_utime) + cpu(usage.ru_stime)) * 1000 / (count * static_cast<double>(kPages));
    row.residentKiB = usage.ru_maxrss;
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    threeAxis = argc > 1 && std::string(argv[1]) == "--three-axis";
    const fs::path root = fs::temp_directory_path() / ("watch-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const std::string file = (root / "bench.bin").string();
    const Bytes bytes = gimbal::composeFirmwareFile({imageBytes(0), imageBytes(1), imageBytes(2)}, 1024);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    std::printf("quenlo-flash --watch%s, %zu %s a gimbal at %u baud, gimbals appearing at once\n",
                threeAxis ? " --three-axis" : "", kPages, threeAxis ? "blocks of 1024 bytes" : "pages", kBaud);
    std::printf("%8s %10s %12s %16s %14s %12s\n", "gimbals", "mean s", "slowest s", "slowest/single", "CPU ms/page",
                "peak RSS MB");
    double single = 0;
    int failures = 0;
    for (int count : kCounts) {
        const Row row = run(count, file, root);
        if (!row.failure.empty()) {
            std::printf("%8d  failed: %s\n", count, row.failure.c_str());
            ++failures;
            continue;
        }
        if (count == 1) single = row.slowestSeconds;
        std::printf("%8d %10.3f %12.3f %16.3f %14.3f %12.1f\n", count, row.meanSeconds, row.slowestSeconds,
                    single > 0 ? row.slowestSeconds / single : 0.0, row.cpuPerPageMs, row.residentKiB / 1024.0);
        std::fflush(stdout);
    }
    fs::remove_all(root);
    return failures == 0 ? 0 : 1;
}
