// The attribute rules, without a device.
#include <gtest/gtest.h>

#include "upgrader/serial/kiv_port_options.h"

namespace {

termios cooked()
{
    termios t{};
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    return t;
}

TEST(PortOptions, DefaultsGiveRaw8N1WithLineAlwaysLocalAndReadable)
{
    termios t = cooked();
    kiv::applyPortOptions(t, kiv::PortOptions{});
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 2);
}

TEST(PortOptions, ParityStopBitsEchoAndFlowControl)
{
    struct Case {
        unsigned parity;
        tcflag_t expected;
    };
    for (const Case c : {Case{0, 0}, Case{1, PARENB | PARODD}, Case{2, PARENB}, Case{5, 0}}) {
        termios t = cooked();
        kiv::PortOptions options;
        options.parity = c.parity;
        kiv::applyPortOptions(t, options);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), c.expected) << "parity " << c.parity;
    }
    for (const unsigned stopBits : {0u, 1u, 2u, 3u}) {
        termios t{};
        kiv::PortOptions options;
        options.numberOfStopBits = stopBits;
        kiv::applyPortOptions(t, options);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stopBits >= 2) << stopBits << " stop bits";
    }
    termios t{};
    kiv::PortOptions options;
    options.shouldEchoReceivedData = true;
    options.usesRTSCTSFlowControl = true;
    options.usesDTRDSRFlowControl = true;  // no Linux counterpart: no bit changes
    kiv::applyPortOptions(t, options);
    EXPECT_NE(t.c_lflag & ECHO, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    kiv::clearFlowControl(t);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST(PortOptions, StandardRates)
{
    for (const std::uint32_t rate : {9600u, 14400u, 19200u, 28800u, 115200u, 921600u})
        EXPECT_TRUE(kiv::isStandardBaudRate(rate)) << rate;
    for (const std::uint32_t rate : {0u, 13u, 250000u, 31250u})
        EXPECT_FALSE(kiv::isStandardBaudRate(rate)) << rate;
    // cfsetspeed would take 13 as B9600: never hand it a number it does not list.
    EXPECT_FALSE(kiv::isCLibraryBaudRate(13));
    EXPECT_FALSE(kiv::isCLibraryBaudRate(14400));
    EXPECT_TRUE(kiv::isCLibraryBaudRate(19200));
}

}  // namespace
