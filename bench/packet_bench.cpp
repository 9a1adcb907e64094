// Packet listening cost over a long stream, with a 64-byte prefix/suffix
// descriptor: per byte one append and up to 64 evaluator calls, so the time
// must grow linearly with the stream (Google Benchmark fits the complexity).
// Two views: the descriptor and buffer alone, as the port's per-byte step
// drives them, and a real port over a pseudo-terminal fed by a writer thread.
#include <benchmark/benchmark.h>

#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_packet_descriptor.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kPacket = 64;

std::shared_ptr<serial::KivSerialPacketDescriptor> descriptor() {
    return serial::KivSerialPacketDescriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(
        Bytes{0x55, 0xAA}, Bytes{0x0D, 0x0A}, kPacket, {});
}

// Whole 64-byte packets; the filler never contains 0x55 or 0x0D.
Bytes stream(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = i % kPacket;
        out[i] = at == 0             ? 0x55
                 : at == 1           ? 0xAA
                 : at == kPacket - 2 ? 0x0D
                 : at == kPacket - 1 ? 0x0A
                                     : static_cast<std::uint8_t>(0x20 + at);
    }
    return out;
}

void BM_DescriptorAndBuffer(benchmark::State& state) {
    const Bytes bytes = stream(static_cast<std::size_t>(state.range(0)));
    const auto packetDescriptor = descriptor();
    std::size_t packets = 0;
    for (auto _ : state) {
        auto buffer = serial::KivSerialBuffer::initWithMaximumLength(packetDescriptor->maximumPacketLength());
        for (const std::uint8_t byte : bytes) {
            const std::uint8_t single[1] = {byte};
            buffer->appendData(single);
            if (packetDescriptor->packetMatchingAtEndOfBuffer(buffer->data())) {
                ++packets;
                buffer->clearBuffer();
            }
        }
    }
    benchmark::DoNotOptimize(packets);
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

struct CountingDelegate : serial::KivSerialPortDelegate {
    void serialPortWasRemovedFromSystem(const Port&) override {}
    void serialPortDidReceivePacketMatchingDescriptor(
        const Port&, const Bytes&, const std::shared_ptr<serial::KivSerialPacketDescriptor>&) override {
        ++packets;
    }
    std::size_t packets = 0;  // main thread only
};

void BM_PortListening(benchmark::State& state) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("no pty");
        return;
    }
    ::close(slave);
    const Bytes bytes = stream(static_cast<std::size_t>(state.range(0)));
    auto port = serial::KivSerialPort::serialPortWithPath(name);
    auto delegate = std::make_shared<CountingDelegate>();
    port->setDelegate(delegate);
    port->startListeningForPacketsMatchingDescriptor(descriptor());
    port->open();
    for (auto _ : state) {
        const std::size_t target = delegate->packets + bytes.size() / kPacket;
        std::thread writer([&] {
            for (std::size_t done = 0; done < bytes.size();) {
                const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
                if (n <= 0) return;
                done += static_cast<std::size_t>(n);
            }
        });
        const bool complete =
            platform::runMainLoopUntil([&] { return delegate->packets >= target; }, std::chrono::seconds(120));
        writer.join();
        if (!complete) {
            state.SkipWithError("packets missing");
            break;
        }
    }
    port->close();
    platform::runMainLoopUntil([&] { return !port->isOpen(); });
    ::close(master);
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_DescriptorAndBuffer)
    ->RangeMultiplier(2)
    ->Range(1 << 16, 1 << 20)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PortListening)
    ->RangeMultiplier(4)
    ->Range(1 << 16, 1 << 20)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

// The port hands packets to the main thread's event loop, so the benchmarks
// run inside an application object.
int main(int argc, char** argv) {
    platform::Application app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
