// A close waits for the output still queued for the wire, for its wire time
// at most, and never holds up the poll thread that the other ports read on.
// No pseudo-terminal ever holds output back, so the driver's queue is played
// by the test.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_output_drain.h"

namespace serial {

namespace {

using test_support::Event;
using namespace std::chrono_literals;

class QueuedOutput : public ::testing::Test {
protected:
    void SetUp() override {
        setQueuedOutputProbeForTesting([this](int fd) { return fd == drainingFd.load() ? queued.load() : 0L; });
    }
    void TearDown() override { setQueuedOutputProbeForTesting({}); }

    std::atomic<int> drainingFd{-1};
    std::atomic<long> queued{0};
};

TEST_F(QueuedOutput, CloseWaitsForTheQueueWhileOtherPortsKeepReading) {
    test_support::Pty slowPty, otherPty;
    test_support::OpenPort slow(slowPty), other(otherPty);
    ASSERT_TRUE(test_support::waitFor([&] { return slow.delegate->count(Event::Opened) == 1; }));
    slow.port->setBaudRate(300);  // 600 bytes: 20 s of wire time
    drainingFd = slow.port->fileDescriptor();
    queued = 600;

    slow.port->close();
    otherPty.write({1, 2, 3});
    ASSERT_TRUE(test_support::waitFor([&] { return other.delegate->receivedData().size() == 3; }));
    EXPECT_EQ(slow.delegate->count(Event::Closed), 0u) << "closed with output still queued";

    queued = 0;  // the last byte went out
    ASSERT_TRUE(test_support::waitFor([&] { return slow.delegate->count(Event::Closed) == 1; }));
    EXPECT_FALSE(slow.port->isOpen());
    EXPECT_TRUE(slowPty.slaveClosed());
}

// A device that stops taking bytes (flow control held, a wedged adapter)
// cannot keep the port from closing.
TEST_F(QueuedOutput, AQueueThatNeverEmptiesEndsAfterItsWireTime) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 1; }));
    p.port->setBaudRate(115200);
    drainingFd = p.port->fileDescriptor();
    queued = 1036;

    p.port->close();
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
    EXPECT_TRUE(pty.slaveClosed());
}

TEST(OutputDrain, AllowanceIsTheWireTimeOfTheQueuedCharactersPlusTheMargin) {
    termios eightN1{};
    eightN1.c_cflag = CS8;
    termios sevenE2{};
    sevenE2.c_cflag = CS7 | PARENB | CSTOPB;
    EXPECT_EQ(bitsPerCharacter(eightN1), 10u);
    EXPECT_EQ(bitsPerCharacter(sevenE2), 11u);
    // A page frame at 300 baud takes over half a minute.
    EXPECT_EQ(drainAllowance(1036, 10, 300), 34534ms + kDrainMargin);
    EXPECT_EQ(drainAllowance(1, 10, 115200), 1ms + kDrainMargin);
    EXPECT_EQ(drainAllowance(0, 10, 0), kDrainMargin);
}

}  // namespace

}  // namespace serial
