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

// nohup ignores SIGHUP, a shell ignores SIGINT in background jobs: such a
// signal must stay ignored while the holder lives, and never be reported.
TEST(TerminationSignals, ASignalInheritedAsIgnoredStaysIgnored) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        struct sigaction before {};
        ASSERT_EQ(::sigaction(signal, &ignore, &before), 0);
        {
            TerminationSignals signals;
            struct sigaction now {};
            ASSERT_EQ(::sigaction(signal, nullptr, &now), 0);
            EXPECT_EQ(now.sa_handler, SIG_IGN);
            ASSERT_EQ(::raise(signal), 0);  // ignored: never reaches the descriptor
            EXPECT_EQ(signals.take(), 0);
        }
        struct sigaction after {};
        ASSERT_EQ(::sigaction(signal, &before, &after), 0);
        EXPECT_EQ(after.sa_handler, SIG_IGN) << "the holder's end left it ignored";
    }
}

}  // namespace
}  // namespace gimbal
