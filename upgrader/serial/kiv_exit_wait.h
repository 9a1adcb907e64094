// What a program does with its ports before it exits: wait, serving the main
// loop, until every close begun has finished and told its delegate (not
// merely until the descriptor is gone: the close's last hand-off to the main
// thread comes after that). Main thread.
#pragma once

#include <chrono>
#include <functional>

namespace serial {

// Answers false when `limit` passed first; `alsoDone` is the caller's own
// part of "finished" (its sessions told, say), or none.
bool waitForPortClosesBeforeExit(std::chrono::milliseconds limit, const std::function<bool()>& alsoDone = {});

}  // namespace serial
