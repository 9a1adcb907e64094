// Round trip of one 1036-byte page frame and a 10-byte reply over a
// pseudo-terminal: through KivSerialPort (blocking sendData, background read,
// data callback on the main thread) and, for comparison, through a plain
// blocking termios loop on the same kind of device. A peer thread on the
// master side answers every 1036 bytes with 10. Each benchmark reports the
// median and 99th percentile of its round trips in microseconds.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFrameSize = 1036;
constexpr std::size_t kReplySize = 10;

// The gimbal's part: answers each whole frame with a reply.
class EchoPeer {
public:
    EchoPeer() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
        ::close(slave);
        path_ = name;
        thread_ = std::thread([this] { run(); });
    }
    ~EchoPeer() {
        stop_ = true;
        thread_.join();
        ::close(master_);
    }
    const std::string& path() const { return path_; }

private:
    void run() {
        const Bytes reply = {0x55, 0xAA, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x12, 0x34};
        std::size_t pending = 0;
        std::uint8_t buffer[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1 || (p.revents & POLLIN) == 0) continue;
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;  // no slave open at the moment
            pending += static_cast<std::size_t>(n);
            for (; pending >= kFrameSize; pending -= kFrameSize)
                if (::write(master_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return;
        }
    }

    int master_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class CountingDelegate : public serial::KivSerialPortDelegate {
public:
    void serialPortWasRemovedFromSystem(const Port&) override {}
    void serialPortDidReceiveData(const Port&, const Bytes& data) override { received += data.size(); }
    void serialPortWasOpened(const Port&) override { opened = true; }
    std::size_t received = 0;
    bool opened = false;
};

void report(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void BM_KivSerialPortRoundTrip(benchmark::State& state) {
    EchoPeer peer;
    auto port = serial::KivSerialPort::serialPortWithPath(peer.path());
    auto delegate = std::make_shared<CountingDelegate>();
    if (!port) {
        state.SkipWithError("no port");
        return;
    }
    port->setBaudRate(115200);
    port->setDelegate(delegate);
    port->open();
    if (!platform::runMainLoopUntil([&] { return delegate->opened; })) {
        state.SkipWithError("port did not open");
        return;
    }
    const Bytes frame(kFrameSize, 0xA5);
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        const std::size_t target = delegate->received + kReplySize;
        port->sendData(frame);
        if (!platform::runMainLoopUntil([&] { return delegate->received >= target; })) {
            state.SkipWithError("no reply");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    port->close();
    platform::runMainLoopUntil([&] { return !port->isOpen(); });
    report(state, micros);
}

void BM_PlainTermiosRoundTrip(benchmark::State& state) {
    EchoPeer peer;
    const int fd = ::open(peer.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios attributes{};
    if (fd < 0 || ::tcgetattr(fd, &attributes) != 0) {
        state.SkipWithError("cannot open the pty");
        return;
    }
    cfmakeraw(&attributes);
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 0;
    cfsetspeed(&attributes, B115200);
    ::tcsetattr(fd, TCSANOW, &attributes);
    const Bytes frame(kFrameSize, 0xA5);
    std::uint8_t reply[64];
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (std::size_t done = 0; done < frame.size();) {
            const ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        for (std::size_t got = 0; got < kReplySize;) {
            const ssize_t n = ::read(fd, reply, sizeof reply);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    report(state, micros);
}

BENCHMARK(BM_KivSerialPortRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_PlainTermiosRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

// The port hands data to the main thread's event loop, so the benchmarks run
// inside an application object.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    platform::Application app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
