// The first thing done with a newly opened terminal: raw mode, then both
// queues flushed. A tty comes up in cooked mode with ECHO on (and a close
// that puts the attributes back leaves it so), so every byte the far end
// sends before raw mode would be echoed straight back to it: a gimbal that
// announces itself every few ms then reads its own announcement, mangled,
// as a request. Raw mode comes right after the locks (which touch nothing
// of the line), before speeds or modem lines.
#pragma once

#include <termios.h>

namespace gimbal {

// Saves the attributes found into `original`, switches the line to raw
// (8 bits, receiver on, modem control ignored; the speed is kept for the
// caller to set), then discards whatever was received or queued before.
// On failure the line gets its attributes back. Answers 0, or the errno of
// the failing call with `failedCall` naming it ("tcgetattr" means the node
// is no terminal at all).
int makeRawAtOpen(int fd, termios& original, const char*& failedCall);

// What a close writes back: the attributes found at open, but with echo off.
// The driver starts receiving inside the kernel's open, before the opener
// can run a single instruction, and the line discipline echoes with the
// attributes the last close left; so echo must never be left on for the
// next open. Only a line never opened since the adapter was plugged in
// still comes up echoing, which no program can prevent.
termios attributesToLeaveAtClose(const termios& original);

}  // namespace gimbal
