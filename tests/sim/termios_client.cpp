#include "termios_client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "link/posix_io.h"

namespace sim_test {

using Clock = std::chrono::steady_clock;

TermiosClient::TermiosClient(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio{};
    if (!fd_.valid() || ::tcgetattr(fd_.get(), &tio) != 0) {
        fd_.reset();
        return;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&tio, B115200);
    if (::tcsetattr(fd_.get(), TCSANOW, &tio) != 0) fd_.reset();
}

bool TermiosClient::send(const Bytes& bytes) {
    gimbal::ByteView rest(bytes);
    while (fd_.valid() && !rest.empty()) {
        const gimbal::WriteResult wrote = gimbal::writeAll(fd_.get(), rest);
        rest = rest.subspan(wrote.written);
        if (wrote.error == EAGAIN) {
            pollfd p{fd_.get(), POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (wrote.error != 0) {
            return false;
        }
    }
    return fd_.valid();
}

TermiosClient::Fill TermiosClient::fill(Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (!fd_.valid() || left.count() <= 0) return Fill::Timeout;
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        std::array<std::uint8_t, 4096> buf{};
        const ssize_t n = ::read(fd_.get(), buf.data(), buf.size());
        if (n > 0) {
            buffer_.insert(buffer_.end(), buf.begin(), buf.begin() + n);
            readSizes_.push_back(static_cast<std::size_t>(n));
            return Fill::Data;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return Fill::HungUp;  // 0 or EIO: the master side is gone
    }
}

std::optional<Bytes> TermiosClient::readFrame(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        std::size_t sync = 0;  // first 55 AA, or a trailing 55 that may start one
        while (sync < buffer_.size() &&
               !(buffer_[sync] == 0x55 && (sync + 1 == buffer_.size() || buffer_[sync + 1] == 0xAA)))
            ++sync;
        skipped_.insert(skipped_.end(), buffer_.begin(), buffer_.begin() + static_cast<long>(sync));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(sync));
        const gimbal::FrameCheck check = gimbal::checkFrame(buffer_);
        if (check.status == gimbal::FrameStatus::Sound || check.status == gimbal::FrameStatus::BadCrc) {
            const auto size = static_cast<long>(check.frame.size);
            Bytes frame(buffer_.begin(), buffer_.begin() + size);
            buffer_.erase(buffer_.begin(), buffer_.begin() + size);
            return frame;
        }
        if (fill(until) != Fill::Data) return std::nullopt;
    }
}

std::optional<Bytes> TermiosClient::readFrameWith(std::uint8_t command, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        auto frame = readFrame(std::max(left, 0ms));
        if (!frame || (*frame)[3] == command) return frame;
    }
}

std::optional<Bytes> TermiosClient::readBytes(std::size_t count, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (buffer_.size() < count)
        if (fill(until) != Fill::Data) return std::nullopt;
    Bytes out(buffer_.begin(), buffer_.begin() + static_cast<long>(count));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(count));
    return out;
}

bool TermiosClient::waitHangUp(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        const Fill f = fill(until);
        if (f != Fill::Data) return f == Fill::HungUp;
    }
}

bool repliesSentReach(const sim::GimbalSim& gimbal, std::size_t n) {
    return gimbal.waitFor([n](const sim::GimbalSim& g) { return g.stats().repliesSent >= n; });
}

Bytes blockFrame(std::uint16_t index, const Bytes& data) {
    return gimbal::buildBlockFrame(index, data);
}

std::optional<std::uint16_t> ackIndex(const Bytes& frame) {
    if (frame.size() != 10 || frame[3] != gimbal::commandByte(gimbal::Command::BlockAck)) return std::nullopt;
    return gimbal::readLe16(frame, 6);
}

bool playUpgrade(TermiosClient& client, const Bytes& file, std::size_t blockSize, const Bytes& switchFrame) {
    const auto header = gimbal::readFirmwareHeader(file);
    if (!header) return false;
    for (std::size_t image = 0; image < gimbal::kImageCount; ++image) {
        if (image > 0) {
            if (!client.send(switchFrame)) return false;
            if (!client.readFrameWith(gimbal::commandByte(gimbal::Command::SwitchAck))) return false;
        }
        for (std::uint16_t b = 0; b < header->counts[image]; ++b) {
            const auto offset = gimbal::blockOffset(header->counts, image, b, blockSize);
            const auto block = gimbal::sliceAt(file, offset, blockSize);
            if (!block || !client.send(blockFrame(b, Bytes(block->begin(), block->end())))) return false;
            const auto ack = client.readFrameWith(gimbal::commandByte(gimbal::Command::BlockAck));
            if (!ack || ackIndex(*ack) != b) return false;
        }
    }
    return true;
}

std::array<Bytes, 3> makeImages(std::size_t blockSize, std::array<std::size_t, 3> counts) {
    std::array<Bytes, 3> images;
    for (std::size_t i = 0; i < images.size(); ++i) {
        images[i].resize(counts[i] * blockSize);
        for (std::size_t k = 0; k < images[i].size(); ++k)
            images[i][k] = static_cast<std::uint8_t>((k * 7 + i * 31 + k / 251) & 0xFF);
    }
    return images;
}

Bytes imageOf(const Bytes& file, std::size_t i, std::size_t blockSize) {
    const auto header = gimbal::readFirmwareHeader(file);
    if (!header) return {};
    const auto start = gimbal::imageOffset(header->counts, i, blockSize);
    const auto slice = gimbal::sliceAt(file, start, std::uint64_t{header->counts[i]} * blockSize);
    return slice ? Bytes(slice->begin(), slice->end()) : Bytes{};
}

}  // namespace sim_test
