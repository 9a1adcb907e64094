// The low-latency request both tools make at open: the flag decision, and
// that a device without the setting (a pty) refuses silently.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <pty.h>

#include <cerrno>

#include "link/low_latency.h"
#include "link/unique_fd.h"

namespace {

// The flag goes on at open and off again at close, and only the flag: the
// driver keeps the others (and the setting itself) after the last close.
TEST(LowLatency, FlagIsAddedOnceAndOtherFlagsAreKept) {
    const int others = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
    EXPECT_EQ(gimbal::lowLatencyFlags(0), ASYNC_LOW_LATENCY);
    EXPECT_EQ(gimbal::lowLatencyFlags(others), others | ASYNC_LOW_LATENCY);
    // Already on: nothing to write, so a driver that would refuse the write
    // is not asked at all.
    EXPECT_EQ(gimbal::lowLatencyFlags(others | ASYNC_LOW_LATENCY), std::nullopt);

    EXPECT_EQ(gimbal::lowLatencyClearedFlags(others | ASYNC_LOW_LATENCY), others);
    EXPECT_EQ(gimbal::lowLatencyClearedFlags(ASYNC_LOW_LATENCY), 0);
    EXPECT_EQ(gimbal::lowLatencyClearedFlags(others), std::nullopt);
}

TEST(LowLatency, PtyRefusesWithoutTouchingErrno) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const gimbal::UniqueFd masterFd(master), slaveFd(slave);
    errno = EDOM;
    EXPECT_EQ(gimbal::requestLowLatency(slaveFd.get()), gimbal::LowLatency::Refused);
    EXPECT_EQ(errno, EDOM);
    // Not a descriptor at all: refused the same way, never a crash.
    EXPECT_EQ(gimbal::requestLowLatency(-1), gimbal::LowLatency::Refused);
    EXPECT_EQ(errno, EDOM);
    gimbal::restoreLowLatency(slaveFd.get(), gimbal::LowLatency::SwitchedOn);
    gimbal::restoreLowLatency(-1, gimbal::LowLatency::SwitchedOn);
    EXPECT_EQ(errno, EDOM);
}

}  // namespace
