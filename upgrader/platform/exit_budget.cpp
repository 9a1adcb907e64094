#include "upgrader/platform/exit_budget.h"

#include <algorithm>
#include <optional>

namespace platform {

namespace {

std::optional<std::chrono::steady_clock::time_point> exitEnds;  // main thread only

}  // namespace

void beginExit() {
    if (!exitEnds) exitEnds = std::chrono::steady_clock::now() + kExitBudget;
}

std::chrono::milliseconds exitTimeLeft(std::chrono::milliseconds limit) {
    if (!exitEnds) return limit;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*exitEnds - std::chrono::steady_clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), limit);
}

void forgetExit() {
    exitEnds.reset();
}

}  // namespace platform
