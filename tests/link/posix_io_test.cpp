// writeAll on a descriptor that fills up: callers that keep what did not go
// (the simulator's pending output) need the count to be exact.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "link/posix_io.h"
#include "link/unique_fd.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes drain(int fd) {
    Bytes out;
    std::uint8_t chunk[4096];
    for (ssize_t n; (n = gimbal::retryOnInterrupt([&] { return ::read(fd, chunk, sizeof chunk); })) > 0;)
        out.insert(out.end(), chunk, chunk + n);
    return out;
}

TEST(WriteAll, AFullDescriptorStopsItWithEagainAndTheCountOfWhatWent) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    const gimbal::UniqueFd reader(fds[0]), writer(fds[1]);
    const int capacity = ::fcntl(writer.get(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    Bytes bytes(static_cast<std::size_t>(capacity) + 1000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);

    const gimbal::WriteResult first = gimbal::writeAll(writer.get(), bytes);
    EXPECT_EQ(first.error, EAGAIN);
    ASSERT_GT(first.written, 0u);
    ASSERT_LT(first.written, bytes.size());
    Bytes received = drain(reader.get());
    const gimbal::WriteResult rest = gimbal::writeAll(writer.get(), std::span(bytes).subspan(first.written));
    EXPECT_EQ(rest.error, 0);
    EXPECT_EQ(rest.written, bytes.size() - first.written);
    const Bytes tail = drain(reader.get());
    received.insert(received.end(), tail.begin(), tail.end());
    EXPECT_EQ(received, bytes);
}

}  // namespace
