// When the modem-line poll asks the driver for the lines: behind a USB
// adapter each read is a control request, so not on every 10 ms poll.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <vector>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_modem_line_reads.h"

namespace serial {

namespace {

using std::chrono::milliseconds;

struct Poll {
    milliseconds at;
    std::optional<ModemLineCounts> counts;
    bool read;
};

TEST(ModemLineReads, ReadsOnlyOnCounterChangesOrAfterTheRefreshWhereReadingCosts) {
    const ModemLineCounts still{1, 0, 2};
    const ModemLineCounts ctsMoved{2, 0, 2};
    const std::vector<Poll> costly = {
        {milliseconds(0), still, true},  // the first poll learns the lines
        {milliseconds(10), still, false},
        {milliseconds(20), ctsMoved, true},
        {milliseconds(30), ctsMoved, false},
        {milliseconds(990), ctsMoved, false},
        {milliseconds(1020), ctsMoved, true},  // refresh: a driver may count nothing
        {milliseconds(1030), std::nullopt, false},
        {milliseconds(2030), std::nullopt, true},
    };
    ModemLineReads reads(true);
    const auto start = ModemLineReads::Clock::now();
    for (const auto& poll : costly)
        EXPECT_EQ(reads.shouldRead(poll.counts, start + poll.at), poll.read) << poll.at.count() << " ms";

    ModemLineReads cheap(false);  // an 8250 UART: every poll reads, as before
    for (const auto& poll : costly) EXPECT_TRUE(cheap.shouldRead(poll.counts, start + poll.at));
}

TEST(ModemLineReads, PtyHasNoCountersAndCostsNoRequest) {
    test_support::Pty pty;
    const int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    EXPECT_FALSE(readModemLineCounts(slave));
    EXPECT_FALSE(modemLinesCostARequest(slave));
    ::close(slave);
}

}  // namespace

}  // namespace serial
