// The attribute rules and the modem-line poll's reading of errors, without a device.
#include <gtest/gtest.h>

#include "upgrader/serial/kiv_line_errors.h"
#include "upgrader/serial/kiv_port_options.h"

namespace serial {

namespace {

termios cooked() {
    termios t{};
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    return t;
}

TEST(PortOptions, DefaultsGiveRaw8N1WithLineAlwaysLocalAndReadable) {
    termios t = cooked();
    applyPortOptions(t, PortOptions{});
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 2);
}

// An adapter keeps what the last program set; nothing of it may survive but the speed.
TEST(PortOptions, NothingLeftByAnotherProgramSurvivesButTheSpeed) {
    termios t = cooked();
    t.c_iflag |= IXOFF | IXANY | INPCK | IGNPAR | PARMRK | IMAXBEL | IUTF8 | IUCLC;
    t.c_oflag |= OCRNL | ONLRET | OFILL;
    t.c_lflag |= ECHOE | ECHOK | ECHOCTL | ECHOKE | NOFLSH | TOSTOP | PENDIN;
    t.c_cflag |= CMSPAR;
    ASSERT_EQ(cfsetspeed(&t, B57600), 0);
    applyPortOptions(t, PortOptions{});
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | HUPCL));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
}

TEST(PortOptions, ParityStopBitsEchoAndFlowControl) {
    struct Case {
        unsigned parity;
        tcflag_t expected;
    };
    for (const Case c : {Case{0, 0}, Case{1, PARENB | PARODD}, Case{2, PARENB}, Case{5, 0}}) {
        termios t = cooked();
        PortOptions options;
        options.parity = c.parity;
        applyPortOptions(t, options);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), c.expected) << "parity " << c.parity;
    }
    for (const unsigned stopBits : {0u, 1u, 2u, 3u}) {
        termios t{};
        PortOptions options;
        options.numberOfStopBits = stopBits;
        applyPortOptions(t, options);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stopBits >= 2) << stopBits << " stop bits";
    }
    termios t{};
    PortOptions options;
    options.shouldEchoReceivedData = true;
    options.usesRTSCTSFlowControl = true;
    options.usesDTRDSRFlowControl = true;  // no Linux counterpart: no bit changes
    applyPortOptions(t, options);
    EXPECT_NE(t.c_lflag & ECHO, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    clearFlowControl(t);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST(PortOptions, StandardRates) {
    for (const std::uint32_t rate : {9600u, 14400u, 19200u, 28800u, 115200u, 921600u})
        EXPECT_TRUE(isStandardBaudRate(rate)) << rate;
    for (const std::uint32_t rate : {0u, 13u, 250000u, 31250u}) EXPECT_FALSE(isStandardBaudRate(rate)) << rate;
    // cfsetspeed would take 13 as B9600: never hand it a number it does not list.
    EXPECT_FALSE(isCLibraryBaudRate(13));
    EXPECT_FALSE(isCLibraryBaudRate(14400));
    EXPECT_TRUE(isCLibraryBaudRate(19200));
}

// One failed read of the lines that may pass must not end the poll for the
// rest of the open; it is reported when it starts, not every 10 ms.
TEST(PinPoll, OnlyAMissingOrVanishedDeviceStopsThePoll) {
    for (const int gone : {EIO, ENODEV, ENXIO}) {
        const auto f = pinPollFailure(gone, 0);
        EXPECT_TRUE(f.removal && f.stopPolling && f.report) << gone;
    }
    for (const int noLines : {ENOTTY, EINVAL}) {
        const auto f = pinPollFailure(noLines, 0);
        EXPECT_TRUE(!f.removal && f.stopPolling && f.report) << noLines;
    }
    for (const int passing : {EAGAIN, EINTR, EBUSY, ENOMEM}) {
        EXPECT_FALSE(pinPollFailure(passing, 0).stopPolling) << passing;
        EXPECT_TRUE(pinPollFailure(passing, 0).report) << passing;
        EXPECT_FALSE(pinPollFailure(passing, passing).report) << passing;
        EXPECT_TRUE(pinPollFailure(passing, EAGAIN == passing ? EBUSY : EAGAIN).report) << passing;
    }
}

}  // namespace

}  // namespace serial
