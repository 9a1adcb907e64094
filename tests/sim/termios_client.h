// A plain termios client on the simulated gimbal's slave side, opened the way
// a tool opens a serial port, for tests that play the host.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/unique_fd.h"
#include "sim/gimbal_sim.h"

namespace sim_test {

using sim::Bytes;
using namespace std::chrono_literals;

class TermiosClient {
public:
    // Opens `path` read-write, raw, 8N1; isOpen() tells whether that worked.
    explicit TermiosClient(const std::string& path);
    bool isOpen() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void close() { fd_.reset(); }

    bool send(const Bytes& bytes);
    // The next whole frame of the stream; bytes before its 55 AA are kept in
    // skipped(). None at the deadline or when the line hangs up.
    std::optional<Bytes> readFrame(std::chrono::milliseconds deadline = 10s);
    // The next frame with this command, passing over others (announcements).
    std::optional<Bytes> readFrameWith(std::uint8_t command, std::chrono::milliseconds deadline = 10s);
    // Exactly `count` bytes of the stream as they come.
    std::optional<Bytes> readBytes(std::size_t count, std::chrono::milliseconds deadline = 10s);
    // True once the line hangs up (the master went away).
    bool waitHangUp(std::chrono::milliseconds deadline = 10s);

    const Bytes& skipped() const { return skipped_; }
    // Sizes of the reads that brought bytes, in order.
    const std::vector<std::size_t>& readSizes() const { return readSizes_; }

private:
    enum class Fill { Data, Timeout, HungUp };
    Fill fill(std::chrono::steady_clock::time_point until);

    gimbal::UniqueFd fd_;
    Bytes buffer_;
    Bytes skipped_;
    std::vector<std::size_t> readSizes_;
};

// Waits (20 s at most) until the simulator counts `n` replies sent.
bool repliesSentReach(const sim::GimbalSim& gimbal, std::size_t n);

// Frames as the two tools send them.
Bytes blockFrame(std::uint16_t index, const Bytes& data);

// Plays a whole upgrade of a firmware file as the tools do: each block on the
// acknowledgement of the one before, `switchFrame` between images. False at
// the first acknowledgement that does not come or names another block.
bool playUpgrade(TermiosClient& client, const Bytes& file, std::size_t blockSize, const Bytes& switchFrame);
// Three images of whole blocks with distinct contents.
std::array<Bytes, 3> makeImages(std::size_t blockSize, std::array<std::size_t, 3> counts);
// Image `i` as the firmware file holds it.
Bytes imageOf(const Bytes& file, std::size_t i, std::size_t blockSize);
// The gimbal's block acknowledgement index, or none for another frame.
std::optional<std::uint16_t> ackIndex(const Bytes& frame);

}  // namespace sim_test
