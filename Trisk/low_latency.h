// Low-latency mode of the serial adapter the updater opens. USB-UART drivers
// hold received bytes back until their latency timer runs out (16 ms by
// default on common adapters); asking for low-latency mode makes them pass
// replies on at once. Takes the port's native descriptor (QSerialPort::handle())
// so that it needs no Qt; the kernel's serial header stays in this file.
#pragma once

#include <optional>

namespace trisk {

// The serial flags to write so that low-latency mode is on, every other flag
// kept; none when it is on already and nothing needs writing.
std::optional<int> lowLatencyFlags(int flags);

// Asks the driver of an open terminal for low-latency mode and answers whether
// it is on now. A refusal (a pty, a driver without the setting) is not an
// error: nothing is logged and errno is left as it was.
bool requestLowLatency(int fd);

}  // namespace trisk
