// The terminal attributes a port asks for, as plain data, and the pure
// functions that turn them into a termios record. Kept apart from the port so
// the attribute rules can be checked without a device.
#pragma once

#include <termios.h>

#include <cstdint>

namespace serial {

enum class Parity : unsigned { None = 0, Odd = 1, Even = 2 };

struct PortOptions {
    std::uint32_t baudRate = 19200;
    unsigned numberOfStopBits = 1;  // 2 or more: two stop bits
    unsigned parity = 0;            // a Parity value
    bool shouldEchoReceivedData = false;
    bool usesRTSCTSFlowControl = false;
    // No Linux counterpart: DTR/DSR and carrier flow control are only stored.
    bool usesDTRDSRFlowControl = false;
    bool usesDCDOutputFlowControl = false;
};

// Values other than none, odd and even become none.
unsigned normalisedParity(unsigned parity);

// Raw 8-bit mode with the options' framing, echo and flow control; reads
// return once a byte is there (VMIN 1) with a 0.2 s inter-byte timer (VTIME
// 2); always CLOCAL, CREAD and HUPCL. The speed is left alone.
void applyPortOptions(termios& attributes, const PortOptions& options);

// Flow-control bits off, so a close cannot wait on a peer that holds CTS.
void clearFlowControl(termios& attributes);

// A rate that needs no permission for non-standard rates: one of the C
// library's table or of the classic serial rates (7200, 14400, 28800 and
// 76800 are classic but missing from the C library's table).
bool isStandardBaudRate(std::uint32_t rate);

// A rate cfsetspeed takes by its number. (It would also take the small B*
// constants, so 13 would silently become 9600; those are not rates.)
bool isCLibraryBaudRate(std::uint32_t rate);

}  // namespace serial
