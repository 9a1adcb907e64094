// A view that records what the sequencer shows and tells, a writer that keeps
// every frame (and passes it to a port when one is set), and page timers the
// test fires itself.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/engine/port_frame_writer.h"
#include "upgrader/engine/upgrade_engine.h"

namespace test_support {

using engine::Bytes;
using engine::FrameWriter;
using engine::PageTimer;
using engine::PageTimerFactory;
using engine::UpgradeView;
using engine::writeToOpenPort;

class FakeView : public UpgradeView, public FrameWriter {
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
    void log(const std::string& line) override { logs.push_back(line); }
    void print(const std::string& line) override { prints.push_back(line); }
    void gimbalConnected(const std::string& version) override { events.push_back("connected " + version); }
    void pageSent(std::int64_t mcu, std::int64_t page, std::int64_t offset) override {
        events.push_back("page " + std::to_string(mcu) + "." + std::to_string(page) + " @" + std::to_string(offset));
    }
    void mcuSwitched(std::int64_t mcu) override { events.push_back("switched " + std::to_string(mcu)); }
    void upgradeCompleted() override { events.push_back("completed"); }
    void pageTimedOut(std::int64_t mcu, std::int64_t page) override {
        events.push_back("timed out " + std::to_string(mcu) + "." + std::to_string(page));
    }
    void switchTimedOut(std::int64_t mcu) override { events.push_back("switch timed out " + std::to_string(mcu)); }
    void gimbalRestarted(std::int64_t mcu, std::int64_t page, std::int64_t pages) override {
        events.push_back("restarted " + std::to_string(mcu) + "." + std::to_string(page) + "/" + std::to_string(pages));
    }
    void gimbalAnnouncedAgain() override { events.push_back("announced again"); }
    void upgradeStopped(const std::string& reason) override { events.push_back("stopped: " + reason); }

    std::optional<bool> writeFrame(const Bytes& frame) override {
        frames.push_back(frame);
        return port ? writeToOpenPort(port, frame) : std::optional<bool>(true);
    }
    // With a port, as the front-ends do; a test may hold the verdicts back
    // (holdVerdicts) and release them itself.
    void afterWaitingInput(std::function<void()> then) override {
        if (holdVerdicts) {
            heldVerdicts.push_back(std::move(then));
            return;
        }
        if (port)
            engine::afterWaitingInput(port, std::move(then));
        else
            then();
    }

    // The engine's page timers, kept here for the test to fire.
    PageTimerFactory timerFactory() {
        return [this](std::chrono::milliseconds interval, std::function<void()> fire) -> std::unique_ptr<PageTimer> {
            auto t = std::make_shared<Timer>();
            t->interval = interval;
            t->fire = std::move(fire);
            timers.push_back(t);
            return std::make_unique<Handle>(t);
        };
    }

    // The newest timer, if it is still armed.
    Timer* armed() const { return !timers.empty() && timers.back()->valid ? timers.back().get() : nullptr; }
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
    std::vector<std::string> events;
    std::vector<Bytes> frames;                    // every frame the engine wrote
    std::shared_ptr<serial::KivSerialPort> port;  // when set, frames also go to it
    bool holdVerdicts = false;
    std::vector<std::function<void()>> heldVerdicts;
};

}  // namespace test_support
