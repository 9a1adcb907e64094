#include "upgrader/engine/upgrade_engine.h"

#include <algorithm>
#include <cstdio>

#include "link/frame.h"
#include "upgrader/engine/upgrade_frames.h"

namespace upgrader {

namespace {

std::string format(const char* fmt, long long a, long long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

// The page a whole, sound acknowledgement names. Shorter or damaged ones name
// none and count as before.
std::optional<std::int64_t> acknowledgedPage(const Bytes& response) {
    const gimbal::FrameCheck check = gimbal::checkFrame(response);
    if (check.status != gimbal::FrameStatus::Sound || check.frame.payload.size() != 2) return std::nullopt;
    return gimbal::readLe16(check.frame.payload, 0);
}

}  // namespace

UpgradeEngine::UpgradeEngine(UpgradeView& view) : view_(view) {}

UpgradeEngine::~UpgradeEngine() { cancelPageTimer(); }

bool UpgradeEngine::getFileInfo(const std::string& filepath) {
    LoadResult r = loadFirmwareImage(filepath);
    if (!r.image) {
        if (r.error == LoadError::TooShort) {
            view_.log("bindata length 0");
            loadError_ = filepath + ": too short for a firmware image (" + "under 8 bytes)";
        } else {
            loadError_ = filepath + ": " + r.detail;
        }
        return false;
    }
    binbytes = std::move(r.image->binbytes);
    pageCount = r.image->pageCount;
    loadError_.clear();
    view_.log("pageCount0:" + std::to_string(pageCount[0]) + " pageCount1:" +
              std::to_string(pageCount[1]) + " pageCount2:" + std::to_string(pageCount[2]));
    return true;
}

std::optional<Bytes> UpgradeEngine::getFWBlock(std::int64_t /*page*/, std::int64_t /*mcuid*/) {
    // The block is found through curoffset alone; the arguments only name it.
    const std::int64_t offset = curoffset.value_or(-1);
    view_.log(format("bin file offset: %lld", offset));
    if (!binbytes) return std::nullopt;
    return cutPage(*binbytes, offset);
}

void UpgradeEngine::sendRequestEnterUpgradeModeCMD() { writeFrame(enterUpgradeModeFrame(), nullptr); }

void UpgradeEngine::sendSwitchMCUCMD() { writeFrame(switchMCUFrame(), nullptr); }

void UpgradeEngine::sendMCUdata(std::int64_t mcu, std::int64_t page, bool isResent) {
    view_.log(format("Sending Page %lld for MCU %lld", page, mcu));
    if (!isResent) ++sendCount;
    updateProgress();
    const std::optional<Bytes> block = getFWBlock(page, mcu);
    if (!block || page < 0 || page > 0xFFFF) {
        stopUpgrade(format("Page %lld of MCU %lld is not in the firmware image; the upgrade was stopped "
                           "before sending it.",
                           page, mcu));
        return;
    }
    bool accepted = false;
    if (writeFrame(pageDataFrame(static_cast<std::uint16_t>(page), *block), &accepted))
        view_.print(std::string("send result : ") + (accepted ? "true" : "false"));
    awaiting_ = Awaiting::Page;
    armPageTimer();
}

void UpgradeEngine::updateProgress() {
    std::int64_t total = 0;
    for (std::int64_t c : pageCount) total += c;
    if (total <= 0) return;  // a reloaded image without pages; Start refuses those
    const std::int64_t percent = (sendCount * 100) / total;
    view_.setProgress(std::clamp(static_cast<double>(percent) / 100.0, 0.0, 1.0));
}

void UpgradeEngine::cancelPageTimer() {
    if (!sendPageTimer) return;
    sendPageTimer->invalidate();
    sendPageTimer.reset();
}

void UpgradeEngine::armPageTimer() {
    // A timer still armed (Start pressed again mid-upgrade) would later report
    // a failure of a page that is no longer outstanding.
    cancelPageTimer();
    sendPageTimer = view_.scheduleTimer(kPageTimeout, [this] { sendPageTimeOut(); });
}

void UpgradeEngine::stopUpgrade(const std::string& why) {
    cancelPageTimer();
    curoffset.reset();  // later acknowledgements are ignored as before any Start
    awaiting_ = Awaiting::Nothing;
    view_.log(why);
    view_.showAlert(why);
}

std::optional<std::string> UpgradeEngine::startRefusal() const {
    if (!binbytes) return "Choose a firmware image before starting the upgrade.";
    std::int64_t total = 0;
    for (std::int64_t c : pageCount) total += c;
    if (total <= 0) return "The firmware image has no pages to send.";
    if (!imageHoldsEveryPage(LoadedImage{*binbytes, pageCount}))
        return "The firmware image is shorter than its page counts say; nothing was sent.";
    return std::nullopt;
}

void UpgradeEngine::bt_startUpgradePressed() {
    if (const auto refusal = startRefusal()) {
        view_.showAlert(*refusal);
        return;
    }
    curMCU = 0;
    curPage = 0;
    curoffset = kFirstPageOffset;
    sendCount = 0;
    sendMCUdata(curMCU, curPage, false);
}

void UpgradeEngine::processGimbleResponse(const Bytes& response) {
    const Response r = recogniseResponse(response);
    if (r.kind == ResponseKind::NotAFrame) return;
    // An acknowledgement that answers nothing outstanding (a late or
    // duplicated copy) is no answer to the page in flight: stopping its timer
    // would leave a page that then goes unanswered waiting for ever.
    const bool acknowledgement = r.kind == ResponseKind::PageAck || r.kind == ResponseKind::SwitchAck;
    if (acknowledgement && !acknowledgementCounts(r.kind, response)) return;
    cancelPageTimer();  // every other frame counts as an answer to the page
    switch (r.kind) {
    case ResponseKind::VersionReport:
        view_.setStatusText(connectedStatusText(r.version, r.length));
        sendRequestEnterUpgradeModeCMD();
        view_.setStartEnabled(true);
        break;
    case ResponseKind::PageAck: onPageAck(); break;
    case ResponseKind::SwitchAck: onSwitchAck(); break;
    default: break;
    }
}

bool UpgradeEngine::acknowledgementCounts(ResponseKind kind, const Bytes& response) const {
    if (!curoffset) return false;  // nothing was started
    if (kind == ResponseKind::SwitchAck)
        return awaiting_ == Awaiting::Switch && curMCU < kLastMCU;  // there is no MCU after the last
    if (awaiting_ == Awaiting::Complete) return true;  // completes again, sending nothing
    if (awaiting_ != Awaiting::Page) return false;     // a switch is due
    const auto page = acknowledgedPage(response);
    return !page || *page == curPage;
}

void UpgradeEngine::onPageAck() {
    ++curPage;
    if (curPage < pageCount[static_cast<std::size_t>(curMCU)]) {
        *curoffset += kPageSize;
        sendMCUdata(curMCU, curPage, false);
    } else if (curMCU != kLastMCU) {
        sendSwitchMCUCMD();
        awaiting_ = Awaiting::Switch;
    } else {
        awaiting_ = Awaiting::Complete;
        view_.setStatusText(kUpgradeCompleteText);
        view_.showAlert(kUpgradeCompleteAlert);
    }
}

void UpgradeEngine::onSwitchAck() {
    ++curMCU;
    curPage = 0;
    view_.log(format("switch MCU to %lld", curMCU));
    *curoffset += kPageSize;
    sendMCUdata(curMCU, curPage, false);
}

void UpgradeEngine::sendPageTimeOut() {
    // The page stays outstanding: a late acknowledgement still continues.
    view_.showAlert(kSendFailedAlert);
}

void UpgradeEngine::serialPortDidReceiveData(const std::shared_ptr<KivSerialPort>& /*port*/,
                                             const Bytes& data) {
    const Bytes response(data.begin(), data.end());
    view_.print(decimalByteList(response));
    view_.print(utf16Text(response));
    processGimbleResponse(response);
}

}  // namespace upgrader
