// A view that records what the sequencer shows and lets a test fire timers.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/engine/upgrade_view.h"

namespace upgrader::test_support {

class FakeView : public UpgradeView {
public:
    // Outlives the engine's handle, so a test can look at timers it dropped.
    struct Timer {
        std::chrono::milliseconds interval{};
        std::function<void()> fire;
        bool valid = true;
    };
    struct Handle : PageTimer {
        explicit Handle(std::shared_ptr<Timer> t) : timer(std::move(t)) {}
        void invalidate() override { timer->valid = false; }
        std::shared_ptr<Timer> timer;
    };

    void setStatusText(const std::string& text) override {
        status = text;
        statuses.push_back(text);
    }
    void setProgress(double f) override { progress.push_back(f); }
    void setStartEnabled(bool e) override { startEnabled = e; }
    void showAlert(const std::string& m) override { alerts.push_back(m); }
    std::unique_ptr<PageTimer> scheduleTimer(std::chrono::milliseconds interval,
                                             std::function<void()> fire) override {
        auto t = std::make_shared<Timer>();
        t->interval = interval;
        t->fire = std::move(fire);
        timers.push_back(t);
        return std::make_unique<Handle>(t);
    }
    void log(const std::string& line) override { logs.push_back(line); }
    void print(const std::string& line) override { prints.push_back(line); }

    // The newest timer, if it is still armed.
    Timer* armed() const {
        return !timers.empty() && timers.back()->valid ? timers.back().get() : nullptr;
    }
    std::size_t armedCount() const {
        return static_cast<std::size_t>(
            std::count_if(timers.begin(), timers.end(), [](const auto& t) { return t->valid; }));
    }
    std::vector<std::string> logsStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        std::copy_if(logs.begin(), logs.end(), std::back_inserter(out),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        return out;
    }

    std::string status;
    std::vector<std::string> statuses;
    std::vector<double> progress;
    bool startEnabled = false;
    std::vector<std::string> alerts;
    std::vector<std::shared_ptr<Timer>> timers;
    std::vector<std::string> logs;
    std::vector<std::string> prints;
};

}  // namespace upgrader::test_support
