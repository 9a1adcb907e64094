#include "upgrader/serial/kiv_port_options.h"

#include <algorithm>
#include <array>

namespace serial {

namespace {

void setFlag(tcflag_t& flags, tcflag_t bits, bool on) {
    if (on)
        flags |= bits;
    else
        flags &= ~bits;
}

// The numeric rates the C library's speed functions know.
constexpr std::array<std::uint32_t, 30> kCLibraryRates = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};
// Classic serial rates the C library's table lacks.
constexpr std::array<std::uint32_t, 4> kClassicOnlyRates = {7200, 14400, 28800, 76800};

template <std::size_t N>
bool contains(const std::array<std::uint32_t, N>& rates, std::uint32_t rate) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

}  // namespace

unsigned normalisedParity(unsigned parity) {
    return parity <= static_cast<unsigned>(Parity::Even) ? parity : 0;
}

void applyPortOptions(termios& attributes, const PortOptions& options) {
    cfmakeraw(&attributes);
    // Every flag is chosen here, none kept: a USB adapter keeps its attributes
    // between opens, and what cfmakeraw leaves of another program's settings
    // can hurt: IXOFF/IXANY send or wait on XON/XOFF bytes, INPCK/IGNPAR drop
    // bytes, CMSPAR turns parity into a fixed mark or space bit.
    attributes.c_iflag = 0;
    attributes.c_oflag = 0;
    attributes.c_lflag = 0;
    attributes.c_cflag = (attributes.c_cflag & (CBAUD | CIBAUD)) | CS8;  // the speed stays
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 2;

    const auto parity = static_cast<Parity>(normalisedParity(options.parity));
    setFlag(attributes.c_cflag, PARENB, parity != Parity::None);
    setFlag(attributes.c_cflag, PARODD, parity == Parity::Odd);
    setFlag(attributes.c_cflag, CSTOPB, options.numberOfStopBits >= 2);

    setFlag(attributes.c_lflag, ECHO, options.shouldEchoReceivedData);
    setFlag(attributes.c_cflag, CRTSCTS, options.usesRTSCTSFlowControl);

    attributes.c_cflag |= HUPCL | CLOCAL | CREAD;
}

void clearFlowControl(termios& attributes) {
    attributes.c_cflag &= ~CRTSCTS;
}

bool isStandardBaudRate(std::uint32_t rate) {
    return contains(kCLibraryRates, rate) || contains(kClassicOnlyRates, rate);
}

bool isCLibraryBaudRate(std::uint32_t rate) {
    return contains(kCLibraryRates, rate);
}

}  // namespace serial
