#include "upgrader/flash/live_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace flash {

namespace {

constexpr std::chrono::milliseconds kWaitShownAfter{2000};

std::string secondsText(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string wholeSeconds(std::chrono::milliseconds t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(t).count());
}

}  // namespace

std::string liveLineText(const LiveStand& s, std::chrono::milliseconds elapsed, std::chrono::milliseconds waited,
                         std::chrono::milliseconds timeout) {
    const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
    const std::string segment = s.threeAxis ? "image " + std::to_string(s.mcu + 1) : "MCU " + std::to_string(s.mcu);
    const std::string unit = s.threeAxis ? "block" : "page";
    std::string text = segment + ", " + unit + " " + std::to_string(s.page) + " of " + std::to_string(s.pages) +
                       "  " + secondsText(seconds);
    if (seconds > 0 && s.pagesDone > 0) {
        const double rate = static_cast<double>(s.pagesDone) / seconds;
        char rateText[32];
        std::snprintf(rateText, sizeof rateText, "%.1f %ss/s", rate, unit.c_str());
        const double left = static_cast<double>(std::max<std::int64_t>(s.pagesTotal - s.pagesDone, 0)) / rate;
        text += std::string("  ") + rateText + "  about " + std::to_string(std::lround(left)) + " s left";
    }
    if (waited > kWaitShownAfter) {
        const std::string what = s.page >= s.pages ? "the switch acknowledgement after " + segment
                                                   : unit + " " + std::to_string(s.page) + "'s acknowledgement";
        text += "  waiting for " + what + " (" + wholeSeconds(waited) + " s of " + wholeSeconds(timeout) + ")";
    }
    return text;
}

}  // namespace flash
