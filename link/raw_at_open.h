// The first thing done with a newly opened terminal: raw mode, then both
// queues flushed. A tty comes up in cooked mode with ECHO on (and a close
// that puts the attributes back leaves it so), so every byte the far end
// sends before raw mode would be echoed straight back to it: a gimbal that
// announces itself every few ms then reads its own announcement, mangled,
// as a request. Raw mode goes first, before locks, speeds or modem lines.
#pragma once

#include <termios.h>

namespace gimbal {

// Saves the attributes found into `original`, switches the line to raw
// (8 bits, receiver on, modem control ignored; the speed is kept for the
// caller to set), then discards whatever was received or queued before.
// Answers 0, or the errno of the failing call with `failedCall` naming it
// ("tcgetattr" means the node is no terminal at all).
int makeRawAtOpen(int fd, termios& original, const char*& failedCall);

}  // namespace gimbal
