// How long a close waits for the bytes still queued for the wire. The close
// runs on the poll thread that every open port reads on, so it never blocks
// there: the queue is looked at every few milliseconds until it is empty or
// its wire time (with a margin) has passed, and what is left then is
// discarded. A device that stops taking bytes cannot hold a close for ever.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace serial {

inline constexpr std::chrono::milliseconds kDrainCheckInterval{10};
inline constexpr std::chrono::milliseconds kDrainMargin{500};

// Bits one character takes on the line with these attributes: start bit,
// data bits, parity bit, stop bits.
unsigned bitsPerCharacter(const termios& attributes);

// Wire time of `queuedBytes` at `baudRate` (none known: 9600) plus the margin.
std::chrono::milliseconds drainAllowance(long queuedBytes, unsigned bitsPerCharacter, std::uint32_t baudRate);

// Bytes the driver still holds for sending on `fd`; 0 when it cannot say
// (a pseudo-terminal never queues: the other side reads its buffer).
long queuedOutputBytes(int fd);

// Tests only: answers for queuedOutputBytes in place of the driver, as no
// pseudo-terminal ever holds output back. An empty function restores the
// driver's answer.
void setQueuedOutputProbeForTesting(std::function<long(int fd)> probe);

}  // namespace serial
