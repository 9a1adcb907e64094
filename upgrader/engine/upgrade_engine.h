// The upgrade sequencer: loads a firmware image, answers the gimbal's version
// report, and sends the three MCUs' pages one at a time, each on the
// acknowledgement of the one before, with a switch exchange between MCUs and
// a response timer per page and per switch request: an upgrade under way is
// never without a running timer. A Dialect says the rest: the pages of the
// desktop upgrader (1024 bytes, sent once, 30 s) or the three-axis blocks (the
// announced size, up to three sends 3 s apart). It drives a view
// (controls, alerts, events) and writes its frames through a writer; it owns
// its page timer.
//
// Thread contract: everything runs on the main thread. The serial port
// delivers received data there, the page timer fires there, and the window
// calls the button actions there. The engine takes no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "upgrader/engine/dialect.h"
#include "upgrader/engine/firmware_image.h"
#include "upgrader/engine/upgrade_frames.h"
#include "upgrader/engine/upgrade_view.h"
#include "upgrader/platform/one_shot_timer.h"

namespace serial {
class KivSerialPort;
}  // namespace serial

namespace engine {

inline constexpr std::chrono::milliseconds kPageTimeout{30000};
// How long after an enter request an announcement the gimbal sent before it
// took that request may still arrive: the request's and the announcement's
// wire time at the slowest rate in use, and an adapter's or a bridge's
// latency both ways, with room to spare.
inline constexpr std::chrono::milliseconds kAnnouncementInFlight{1000};
inline constexpr std::int64_t kLastMCU = 2;

inline constexpr char kUpgradeCompleteText[] = "Upgrade Complete!!";
inline constexpr char kUpgradeCompleteAlert[] = "Upgrade Complete!!Please RESTART your gimbal.";
inline constexpr char kSendFailedAlert[] = "send Failed";

// The image and where the upgrade stands, as the sequencer keeps them.
struct UpgradeState {
    // Shared, never changed: many upgrades can send one image without copies.
    std::shared_ptr<const Bytes> binbytes;
    PageCounts pageCount{0, 0, 0};
    std::optional<std::int64_t> curoffset;  // set by Start; absent before, and after a stop
    std::int64_t curMCU = 0;
    std::int64_t curPage = 0;
    std::int64_t sendCount = 0;
};

using PageTimer = platform::OneShotTimer;
// Makes the page timer; tests hand in timers they fire themselves.
using PageTimerFactory =
    std::function<std::unique_ptr<PageTimer>(std::chrono::milliseconds interval, std::function<void()> fire)>;

class UpgradeEngine {
public:
    UpgradeEngine(UpgradeView& view, FrameWriter& writer, PageTimerFactory timers = platform::startOneShotTimer,
                  Dialect dialect = Dialect::pages());
    ~UpgradeEngine();
    UpgradeEngine(const UpgradeEngine&) = delete;
    UpgradeEngine& operator=(const UpgradeEngine&) = delete;

    // Firmware image. False leaves the previous image and counts in place;
    // loadErrorText() then says why.
    bool getFileInfo(const std::string& filepath);
    // An image read and checked elsewhere, once for many gimbals: shared, not copied.
    void setImage(const std::shared_ptr<const LoadedImage>& image);
    // The 1024 bytes at curoffset; nullopt when they do not lie whole in the image.
    std::optional<Bytes> getFWBlock(std::int64_t page, std::int64_t mcuid);
    const std::string& loadErrorText() const { return loadError_; }
    // Why the last file that did load was refused (a page count of 0), without
    // its path; empty when the last load was not refused for its contents.
    const std::string& loadRefusalText() const { return loadRefusal_; }
    // The warning for bytes after the last page of the image in memory, if any.
    std::optional<std::string> trailingBytesWarning() const;

    // Frames. Dropped silently when the writer has no open port.
    void sendRequestEnterUpgradeModeCMD();
    void sendSwitchMCUCMD();
    void sendMCUdata(std::int64_t mcu, std::int64_t page, bool isResent = false);

    // Sequencer.
    void startUpgrade();
    void bt_startUpgradePressed() { startUpgrade(); }
    void processGimbleResponse(const Bytes& response);
    void sendPageTimeOut();
    // Any bytes already received for this port, then the bad news.
    void pageTimerFired(std::uint64_t generation);
    void serialPortDidReceiveData(const std::shared_ptr<serial::KivSerialPort>& port, const Bytes& data);
    // Gives up the upgrade under way without a word: the page timer stops,
    // and later acknowledgements are ignored as before any Start.
    void cancelUpgrade();
    // Between Start and the last acknowledgement, a page or switch request outstanding.
    bool upgradeUnderWay() const;

    // From Start until an upgrade is stopped or cancelled. Completion does
    // not end it: a repeated last acknowledgement completes again.
    bool upgradeStarted() const { return state_.curoffset.has_value(); }
    bool pageTimerRunning() const { return sendPageTimer != nullptr; }
    const UpgradeState& state() const { return state_; }
    const Dialect& dialect() const { return dialect_; }
    // Bytes per page or block: 1024, or the size the gimbal announced.
    std::int64_t blockSize() const { return blockSize_; }
    // Tests only: the product always waits the dialect's answerWait.
    void setPageTimeout(std::chrono::milliseconds timeout) { pageTimeout_ = timeout; }
    // How long after the enter request before Start an announcement may
    // still have crossed it: kAnnouncementInFlight, longer when bytes were
    // queued ahead of that request (tests: shorter).
    void setAnnouncementInFlight(std::chrono::milliseconds allowance) { announcementInFlight_ = allowance; }

private:
    std::optional<bool> writeFrame(const Bytes& frame);
    void cancelPageTimer();
    void armPageTimer();
    void updateProgress();
    void stopUpgrade(const std::string& why);
    std::optional<std::string> startRefusal() const;
    bool acknowledgementCounts(ResponseKind kind, const Bytes& response) const;
    void onPageAck();
    void onVersionReport(const Response& r);
    void onSwitchAck();
    void sendNextOrSwitch();
    void resendBlock();
    std::int64_t offsetOf(std::int64_t mcu, std::int64_t page) const;
    bool announcedAgainBeforeFirstAnswer() const;

    // What the gimbal owes an answer to. A late copy of an acknowledgement
    // must not count for the request sent after it: taken for the next page
    // or switch, it would put later pages under the wrong MCU. Once complete,
    // a further page acknowledgement shows the completion again.
    enum class Awaiting { Nothing, Page, Switch, Complete };

    UpgradeView& view_;
    FrameWriter& writer_;
    PageTimerFactory timers_;
    UpgradeState state_;
    std::unique_ptr<PageTimer> sendPageTimer;
    std::uint64_t timerGeneration_ = 0;                       // bumped when a timer is cancelled or armed
    std::shared_ptr<char> alive_ = std::make_shared<char>();  // for verdicts that wait on the input
    const Dialect dialect_;
    std::int64_t blockSize_ = kPageSize;
    Bytes lastBlockFrame_;  // sent again as it was while sends_ < sendsPerBlock
    int sends_ = 0;
    std::chrono::milliseconds pageTimeout_;
    std::chrono::milliseconds announcementInFlight_ = kAnnouncementInFlight;
    Awaiting awaiting_ = Awaiting::Nothing;
    // The gimbal acknowledged something since Start. Only then is a version
    // report a restart: one sent before it took the enter request may still
    // be on the line when the first page goes out.
    bool answeredSinceStart_ = false;
    // When the last enter request went out, and the last one before Start.
    std::optional<std::chrono::steady_clock::time_point> lastEnterRequestAt_;
    std::optional<std::chrono::steady_clock::time_point> enterBeforeStartAt_;
    std::string loadError_;
    std::string loadRefusal_;
};

}  // namespace engine
