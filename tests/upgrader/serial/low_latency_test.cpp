// Low-latency mode at open, for both tools' ports: the flag decision, and
// that a device without the setting (a pty) refuses silently.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>

#include <cerrno>
#include <sstream>
#include <string>

#include "Trisk/low_latency.h"
#include "link/unique_fd.h"
#include "pty.h"
#include "upgrader/serial/kiv_low_latency.h"

namespace {

using test::Event;

TEST(LowLatency, FlagIsAddedOnceAndOtherFlagsAreKept)
{
    const int others = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
    for (const auto& decide : {kiv::lowLatencyFlags, trisk::lowLatencyFlags}) {
        EXPECT_EQ(decide(0), ASYNC_LOW_LATENCY);
        EXPECT_EQ(decide(others), others | ASYNC_LOW_LATENCY);
        // Already on: nothing to write, so a driver that would refuse the
        // write is not asked at all.
        EXPECT_EQ(decide(others | ASYNC_LOW_LATENCY), std::nullopt);
    }
}

TEST(LowLatency, PtyRefusesWithoutTouchingErrno)
{
    test::Pty pty;
    gimbal::UniqueFd slave(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave.valid());
    errno = EDOM;
    EXPECT_EQ(kiv::requestLowLatency(slave.get()), kiv::LowLatency::Refused);
    EXPECT_EQ(errno, EDOM);
    EXPECT_FALSE(trisk::requestLowLatency(slave.get()));
    EXPECT_EQ(errno, EDOM);
    // Not a descriptor at all: refused the same way, never a crash.
    EXPECT_EQ(kiv::requestLowLatency(-1), kiv::LowLatency::Refused);
    EXPECT_FALSE(trisk::requestLowLatency(-1));
}

TEST(LowLatency, PortOnAPtyOpensAndCarriesDataWithNoErrorButItsMissingModemLines)
{
    test::Pty pty;
    testing::internal::CaptureStderr();  // the system log's copy of every line
    test::OpenPort p(pty);
    const std::string logged = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(p.port->isOpen());
    std::istringstream lines(logged);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("set baudrate:", 0), 0u) << line;
    const test::Bytes out{0x55, 0xAA, 0x00, 0x01};
    EXPECT_TRUE(p.port->sendData(out));
    EXPECT_EQ(pty.read(out.size()), out);
    const test::Bytes in{0x55, 0xAA, 0x00, 0x03};
    pty.write(in);
    ASSERT_TRUE(test::waitFor([&] { return p.delegate->receivedData() == in; }));
    for (const KivPosixError& error : p.delegate->errors())
        EXPECT_EQ(error.operation.rfind("ioctl(TIOCM", 0), 0u) << error.message();
}

}  // namespace
