// Setters on closed and open ports, speeds read back from the pty.
#include <gtest/gtest.h>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_arbitrary_speed.h"

namespace serial {

namespace {

using test_support::Event;

std::uint32_t slaveSpeed(test_support::Pty& pty) {
    return currentSpeed(pty.master()).value_or(0);  // the master reports the slave's
}

TEST(KivSerialPortSettings, SettingsOnAClosedPortAreStoredAndAppliedAtOpen) {
    test_support::Pty pty;
    test_support::OpenPort p(pty, false);
    p.port->setBaudRate(115200);
    p.port->setParity(2);
    p.port->setNumberOfStopBits(2);
    p.port->setUsesRTSCTSFlowControl(true);  // closed: only stored
    EXPECT_EQ(p.delegate->count(Event::Closed), 0u);
    EXPECT_EQ(slaveSpeed(pty), 38400u);  // untouched so far (the pty default)
    p.port->open();
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 1; }));
    EXPECT_EQ(slaveSpeed(pty), 115200u);
    const termios t = pty.slaveAttributes();
    // (A pty keeps no parity bits; those rules are checked without a device.)
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
    EXPECT_EQ(p.port->parity(), 2u);
    p.closeAndWait();
}

TEST(KivSerialPortSettings, RatesMissingFromTheCLibraryTableAreApplied) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    for (const std::uint32_t rate : {14400u, 28800u, 9600u, 76800u}) {
        p.port->setBaudRate(rate);
        EXPECT_EQ(slaveSpeed(pty), rate);
    }
    EXPECT_EQ(p.delegate->count(Event::Error), 0u);
    p.closeAndWait();
}

TEST(KivSerialPortSettings, NonStandardRateNeedsPermission) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.port->setBaudRate(38400);
    const auto errorsBefore = p.delegate->count(Event::Error);
    p.port->setBaudRate(250000);
    ASSERT_EQ(p.delegate->count(Event::Error), errorsBefore + 1);
    const KivPosixError error = p.delegate->errors().back();
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_EQ(error.filePath, pty.slavePath());
    EXPECT_EQ(slaveSpeed(pty), 38400u);
    EXPECT_TRUE(p.port->isOpen());

    p.port->setAllowsNonStandardBaudRates(true);
    p.port->setBaudRate(31250);
    EXPECT_EQ(slaveSpeed(pty), 31250u);
    EXPECT_EQ(p.delegate->count(Event::Error), errorsBefore + 1);
    // 0 would hang the line up: refused even when non-standard rates are allowed.
    p.port->setBaudRate(0);
    EXPECT_EQ(p.delegate->count(Event::Error), errorsBefore + 2);
    EXPECT_EQ(slaveSpeed(pty), 31250u);
    p.closeAndWait();
}

TEST(KivSerialPortSettings, ParityOutOfRangeIsStoredAsNone) {
    test_support::Pty pty;
    test_support::OpenPort p(pty, false);
    p.port->setParity(5);
    EXPECT_EQ(p.port->parity(), 0u);
    p.port->setParity(1);
    EXPECT_EQ(p.port->parity(), 1u);
    p.port->setParity(7);
    EXPECT_EQ(p.port->parity(), 0u);
}

TEST(KivSerialPortSettings, FlowControlChangeOnAnOpenPortClosesAndReopensIt) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.port->setUsesRTSCTSFlowControl(true);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 2 && p.port->isOpen(); }));
    EXPECT_EQ(p.delegate->orderWithoutErrors(), (std::vector<Event>{Event::Opened, Event::Closed, Event::Opened}));
    EXPECT_NE(pty.slaveAttributes().c_cflag & CRTSCTS, 0u);
    // Still a working port.
    pty.write({7, 8});
    EXPECT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData() == test_support::Bytes{7, 8}; }));

    // Stored only, no effect on Linux, but the port still goes round.
    p.port->setUsesDTRDSRFlowControl(true);
    EXPECT_TRUE(p.port->usesDTRDSRFlowControl());
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 3; }));

    // A port already closing stays closed.
    p.port->close();
    p.port->setUsesDCDOutputFlowControl(true);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 3; }));
    test_support::observeFor(std::chrono::milliseconds(30));
    EXPECT_FALSE(p.port->isOpen());
    EXPECT_EQ(p.delegate->count(Event::Opened), 3u);
}

}  // namespace

}  // namespace serial
