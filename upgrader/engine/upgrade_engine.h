// The desktop upgrader's upgrade sequencer: loads a firmware image, answers
// the gimbal's version report, and sends the three MCUs' pages one at a time,
// each on the acknowledgement of the one before, with a switch exchange
// between MCUs and a 30-second response timer per page.
//
// Thread contract: everything runs on the main thread. The serial port
// delivers received data there, the view's timer fires there, and the window
// calls the button actions there. The engine takes no locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upgrader/engine/firmware_image.h"
#include "upgrader/engine/upgrade_frames.h"
#include "upgrader/engine/upgrade_view.h"

class KivSerialPort;

namespace upgrader {

inline constexpr std::chrono::seconds kPageTimeout{30};
inline constexpr std::int64_t kLastMCU = 2;

inline constexpr char kUpgradeCompleteText[] = "Upgrade Complete!!";
inline constexpr char kUpgradeCompleteAlert[] = "Upgrade Complete!!Please RESTART your gimbal.";
inline constexpr char kSendFailedAlert[] = "send Failed";

class UpgradeEngine {
public:
    explicit UpgradeEngine(UpgradeView& view);
    ~UpgradeEngine();
    UpgradeEngine(const UpgradeEngine&) = delete;
    UpgradeEngine& operator=(const UpgradeEngine&) = delete;

    // Firmware image. False leaves the previous image and counts in place;
    // loadErrorText() then says why.
    bool getFileInfo(const std::string& filepath);
    // The 1024 bytes at curoffset; nullopt when they do not lie whole in the image.
    std::optional<Bytes> getFWBlock(std::int64_t page, std::int64_t mcuid);
    const std::string& loadErrorText() const { return loadError_; }

    // Frames. Written only to a present, open port; dropped silently otherwise.
    void sendRequestEnterUpgradeModeCMD();
    void sendSwitchMCUCMD();
    void sendMCUdata(std::int64_t mcu, std::int64_t page, bool isResent = false);

    // Sequencer.
    void bt_startUpgradePressed();
    void processGimbleResponse(const Bytes& response);
    void sendPageTimeOut();
    void serialPortDidReceiveData(const std::shared_ptr<KivSerialPort>& port, const Bytes& data);

    // From Start until an upgrade is stopped for a missing page. Completion
    // does not end it: a repeated last acknowledgement completes again.
    bool upgradeStarted() const { return curoffset.has_value(); }

    std::optional<Bytes> binbytes;
    PageCounts pageCount{0, 0, 0};
    std::optional<std::int64_t> curoffset;
    std::int64_t curMCU = 0;
    std::int64_t curPage = 0;
    std::int64_t sendCount = 0;
    std::unique_ptr<PageTimer> sendPageTimer;
    std::shared_ptr<KivSerialPort> serialPort;

private:
    bool writeFrame(const Bytes& frame, bool* accepted);
    void cancelPageTimer();
    void armPageTimer();
    void updateProgress();
    void stopUpgrade(const std::string& why);
    std::optional<std::string> startRefusal() const;
    bool acknowledgementCounts(ResponseKind kind, const Bytes& response) const;
    void onPageAck();
    void onSwitchAck();

    // What the gimbal owes an answer to. A late copy of an acknowledgement
    // must not count for the request sent after it: taken for the next page
    // or switch, it would put later pages under the wrong MCU. Once complete,
    // a further page acknowledgement shows the completion again.
    enum class Awaiting { Nothing, Page, Switch, Complete };

    UpgradeView& view_;
    Awaiting awaiting_ = Awaiting::Nothing;
    std::string loadError_;
};

// The chunk as decimal byte values ("[85, 170, 0, 3]") and as UTF-16 text,
// the two diagnostic lines printed for every delivery.
std::string decimalByteList(const Bytes& data);
std::string utf16Text(const Bytes& data);

}  // namespace upgrader
