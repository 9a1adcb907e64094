#include "link/termination_signals.h"

#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>

namespace gimbal {
namespace {

// A signal must reach the loop in the order sent, none lost, and the
// process's own disposition must come back once the holder goes.
TEST(TerminationSignals, SignalsArriveAsReadableNumbersAndDispositionsAreRestored) {
    {
        TerminationSignals signals;
        EXPECT_EQ(signals.take(), 0);
        ASSERT_EQ(::raise(SIGINT), 0);
        ASSERT_EQ(::raise(SIGHUP), 0);
        pollfd readable{signals.fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 10'000), 1);
        EXPECT_EQ(signals.take(), SIGINT);
        EXPECT_EQ(signals.take(), SIGHUP);
        EXPECT_EQ(signals.take(), 0);
        EXPECT_EQ(TerminationSignals::exitCodeFor(SIGTERM), 143);
    }
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    TerminationSignals again;  // a second holder after the first is allowed
}

}  // namespace
}  // namespace gimbal
