#include "upgrader/engine/upgrade_engine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "link/frame.h"
#include "upgrader/engine/diagnostics.h"

namespace engine {

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

// "The firmware image has no pages to send." from the shared refusal text.
std::string asSentence(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text + ".";
}

}  // namespace

UpgradeEngine::UpgradeEngine(UpgradeView& view, FrameWriter& writer, PageTimerFactory timers, Dialect dialect)
    : view_(view),
      writer_(writer),
      timers_(std::move(timers)),
      dialect_(std::move(dialect)),
      pageTimeout_(dialect_.answerWait) {}

UpgradeEngine::~UpgradeEngine() {
    cancelPageTimer();
}

bool UpgradeEngine::getFileInfo(const std::string& filepath) {
    loadRefusal_.clear();
    LoadResult r = loadFirmwareImage(filepath);
    if (!r.image) {
        if (r.error == LoadError::TooShort) view_.log("bindata length 0");
        loadError_ = filepath + ": " + engine::loadErrorText(r);
        return false;
    }
    // A count of 0 cannot be sent (see imageRefusal): such a file is refused
    // here, before it could replace a good one.
    const auto refusal = dialect_.emptyImagesAllowed ? std::nullopt : imageRefusal(*r.image);
    if (refusal && refusal->kind == ImageRefusal::Kind::EmptyMCU) {
        loadRefusal_ = refusalText(*refusal);
        loadError_ = filepath + ": " + loadRefusal_;
        view_.log(loadError_);
        return false;
    }
    state_.binbytes = std::make_shared<const Bytes>(std::move(r.image->binbytes));
    state_.pageCount = r.image->pageCount;
    loadError_.clear();
    const PageCounts& counts = state_.pageCount;
    view_.log("pageCount0:" + std::to_string(counts[0]) + " pageCount1:" + std::to_string(counts[1]) +
              " pageCount2:" + std::to_string(counts[2]));
    return true;
}

std::optional<std::string> UpgradeEngine::trailingBytesWarning() const {
    if (!state_.binbytes) return std::nullopt;
    return engine::trailingBytesWarning(*state_.binbytes, state_.pageCount);
}

void UpgradeEngine::setImage(const std::shared_ptr<const LoadedImage>& image) {
    state_.binbytes = std::shared_ptr<const Bytes>(image, &image->binbytes);
    state_.pageCount = image->pageCount;
    loadError_.clear();
}

std::optional<Bytes> UpgradeEngine::getFWBlock(std::int64_t /*page*/, std::int64_t /*mcuid*/) {
    // The block is found through curoffset alone; the arguments only name it.
    const std::int64_t offset = state_.curoffset.value_or(-1);
    view_.log(format("bin file offset: %lld", offset));
    if (!state_.binbytes) return std::nullopt;
    return cutPage(*state_.binbytes, offset, blockSize_);
}

std::optional<bool> UpgradeEngine::writeFrame(const Bytes& frame) {
    return writer_.writeFrame(frame);
}

void UpgradeEngine::sendRequestEnterUpgradeModeCMD() {
    if (writeFrame(enterUpgradeModeFrame()).has_value()) lastEnterRequestAt_ = std::chrono::steady_clock::now();
}

void UpgradeEngine::sendSwitchMCUCMD() {
    writeFrame(dialect_.switchCarriesSlaveByte ? gimbal::updaterSwitchFrame() : switchMCUFrame());
}

void UpgradeEngine::sendMCUdata(std::int64_t mcu, std::int64_t page, bool isResent) {
    view_.log(format("Sending Page %lld for MCU %lld", page, mcu));
    if (!isResent) ++state_.sendCount;
    updateProgress();
    const std::optional<Bytes> block = getFWBlock(page, mcu);
    if (!block || page < 0 || page > 0xFFFF) {
        stopUpgrade(
            format("Page %lld of MCU %lld is not in the firmware image; the upgrade was stopped "
                   "before sending it.",
                   page, mcu));
        return;
    }
    const auto index = static_cast<std::uint16_t>(page);
    lastBlockFrame_ =
        dialect_.blockSizeAnnounced ? gimbal::buildBlockFrame(index, *block) : pageDataFrame(index, *block);
    sends_ = 1;
    if (const auto accepted = writeFrame(lastBlockFrame_))
        view_.trace(std::string("send result : ") + (*accepted ? "true" : "false"));
    awaiting_ = Awaiting::Page;
    armPageTimer();
    view_.pageSent(mcu, page, *state_.curoffset);
}

void UpgradeEngine::updateProgress() {
    std::int64_t total = 0;
    for (std::int64_t c : state_.pageCount) total += c;
    if (total <= 0) return;  // a reloaded image without pages; Start refuses those
    const std::int64_t percent = (state_.sendCount * 100) / total;
    view_.setProgress(std::clamp(static_cast<double>(percent) / 100.0, 0.0, 1.0));
}

void UpgradeEngine::cancelPageTimer() {
    ++timerGeneration_;  // a verdict waiting on the input is no longer due
    if (!sendPageTimer) return;
    sendPageTimer->invalidate();
    sendPageTimer.reset();
}

void UpgradeEngine::armPageTimer() {
    // A timer still armed (Start pressed again mid-upgrade) would later report
    // a failure of a page that is no longer outstanding.
    cancelPageTimer();
    const std::uint64_t generation = timerGeneration_;
    sendPageTimer = timers_(pageTimeout_, [this, generation] { pageTimerFired(generation); });
}

// The timer may fire late, after bytes that answer the request have arrived
// (a process stopped and continued, a loaded machine). Those are read first;
// an answer among them cancels the timer and so the verdict.
void UpgradeEngine::pageTimerFired(std::uint64_t generation) {
    if (generation != timerGeneration_) return;
    const std::weak_ptr<char> alive = alive_;
    writer_.afterWaitingInput([this, alive, generation] {
        if (alive.expired() || generation != timerGeneration_) return;
        sendPageTimeOut();
    });
}

bool UpgradeEngine::upgradeUnderWay() const {
    return state_.curoffset && (awaiting_ == Awaiting::Page || awaiting_ == Awaiting::Switch);
}

void UpgradeEngine::stopUpgrade(const std::string& why) {
    cancelUpgrade();
    view_.log(why);
    view_.showAlert(why);
    view_.upgradeStopped(why);
}

void UpgradeEngine::cancelUpgrade() {
    cancelPageTimer();
    state_.curoffset.reset();  // later acknowledgements are ignored as before any Start
    awaiting_ = Awaiting::Nothing;
}

std::optional<std::string> UpgradeEngine::startRefusal() const {
    if (!state_.binbytes) return "Choose a firmware image before starting the upgrade.";
    const LoadedImage image{*state_.binbytes, state_.pageCount};
    if (dialect_.blockSizeAnnounced) {
        if (auto refusal = blockSizeRefusal(blockSize_)) return asSentence(*refusal);
        if (auto refusal = blockFitRefusal(image, blockSize_)) return asSentence(*refusal);
        return std::nullopt;
    }
    if (const auto refusal = imageRefusal(image)) return asSentence(refusalText(*refusal));
    return std::nullopt;
}

void UpgradeEngine::startUpgrade() {
    if (const auto refusal = startRefusal()) {
        view_.showAlert(*refusal);
        view_.upgradeStopped(*refusal);
        return;
    }
    state_.curMCU = 0;
    state_.curPage = 0;
    state_.curoffset = kFirstPageOffset;
    state_.sendCount = 0;
    answeredSinceStart_ = false;
    enterBeforeStartAt_ = lastEnterRequestAt_;
    sendNextOrSwitch();
}

void UpgradeEngine::processGimbleResponse(const Bytes& response) {
    const Response r = dialect_.blockSizeAnnounced ? recogniseThreeAxisResponse(response) : recogniseResponse(response);
    if (r.kind == ResponseKind::NotAFrame) return;
    // An acknowledgement that answers nothing outstanding (a late or
    // duplicated copy) is no answer to the page in flight: stopping its timer
    // would leave a page that then goes unanswered waiting for ever.
    // Nor is any other frame: only an acknowledgement that counts stops the
    // timer, so an upgrade under way always has one running.
    const bool acknowledgement = r.kind == ResponseKind::PageAck || r.kind == ResponseKind::SwitchAck;
    if (!acknowledgement) {
        if (r.kind == ResponseKind::VersionReport) onVersionReport(r);
        return;
    }
    if (!acknowledgementCounts(r.kind, response)) return;
    answeredSinceStart_ = true;
    cancelPageTimer();
    switch (r.kind) {
        case ResponseKind::PageAck:
            onPageAck();
            break;
        case ResponseKind::SwitchAck:
            onSwitchAck();
            break;
        default:
            break;
    }
}

// The window's behaviour of any phase: the version shown, the enter request,
// Start enabled. In the middle of an upgrade it means the gimbal restarted:
// the outstanding request's timer keeps running. (Before the gimbal's first
// acknowledgement it may be one sent before the enter request was taken; the
// timer then tells if the gimbal does not go on.)
void UpgradeEngine::onVersionReport(const Response& r) {
    const bool underWay = upgradeUnderWay() && answeredSinceStart_;
    const bool again = announcedAgainBeforeFirstAnswer();
    const std::int64_t mcu = state_.curMCU;
    const std::int64_t page = state_.curPage;
    const std::int64_t pages =
        mcu >= 0 && mcu <= kLastMCU ? state_.pageCount[static_cast<std::size_t>(mcu)] : std::int64_t{0};
    // Until the first block the three-axis gimbal announces until answered,
    // and its block size is the one it announced last.
    const bool beforeFirstBlock = !state_.curoffset || state_.sendCount == 0;
    std::string version;
    if (dialect_.blockSizeAnnounced) {
        version = threeAxisVersionText(static_cast<std::uint16_t>(r.version));
        if (beforeFirstBlock) blockSize_ = r.blockSize;
        view_.setStatusText("LINK OK !");
        view_.setStatusText("VERSION " + version);
    } else {
        version = versionText(r.version, r.length);
        view_.setStatusText(connectedStatusText(r.version, r.length));
    }
    if (dialect_.answersAfterFirstBlock || beforeFirstBlock) sendRequestEnterUpgradeModeCMD();
    view_.setStartEnabled(true);
    view_.gimbalConnected(version);
    if (underWay) {
        view_.log("version report in the middle of the upgrade, at page " + std::to_string(page) + " of MCU " +
                  std::to_string(mcu) + ": the gimbal restarted");
        view_.gimbalRestarted(mcu, page, pages);
    }
    if (again) {
        view_.log("version report before the first acknowledgement, although the enter request was sent: the gimbal "
                  "announced itself again");
        view_.gimbalAnnouncedAgain();
    }
}

// Before its first acknowledgement the gimbal may still have announced
// itself while the enter request was on its way: such a report arrives within
// kAnnouncementInFlight of that request. One that comes later was sent after
// the gimbal should have taken it: it restarted, or never heard the request.
bool UpgradeEngine::announcedAgainBeforeFirstAnswer() const {
    if (!upgradeUnderWay() || answeredSinceStart_ || !enterBeforeStartAt_) return false;
    return std::chrono::steady_clock::now() - *enterBeforeStartAt_ > announcementInFlight_;
}

bool UpgradeEngine::acknowledgementCounts(ResponseKind kind, const Bytes& response) const {
    if (!state_.curoffset) return false;  // nothing was started
    if (kind == ResponseKind::SwitchAck)
        return awaiting_ == Awaiting::Switch && state_.curMCU < kLastMCU;  // there is no MCU after the last
    if (awaiting_ == Awaiting::Complete) return true;                      // completes again, sending nothing
    if (awaiting_ != Awaiting::Page) return false;                         // a switch is due
    const auto page = acknowledgedPage(response);
    if (!page) return !dialect_.acknowledgementMustNameBlock;
    return *page == state_.curPage;
}

// Where a page lies: the pages of the MCUs before it, then its own.
std::int64_t UpgradeEngine::offsetOf(std::int64_t mcu, std::int64_t page) const {
    std::int64_t before = page;
    for (std::int64_t m = 0; m < mcu && m <= kLastMCU; ++m) before += state_.pageCount[static_cast<std::size_t>(m)];
    return kFirstPageOffset + before * blockSize_;
}

void UpgradeEngine::onPageAck() {
    ++state_.curPage;
    sendNextOrSwitch();
}

// The page at curPage, else the switch after this MCU, else the end. An MCU
// without pages (only the three-axis side sends such files) is switched past
// at once. The pages side moves its offset on from the page before, as the
// window always has, so an image reloaded mid-upgrade is cut where it was.
void UpgradeEngine::sendNextOrSwitch() {
    if (state_.curPage < state_.pageCount[static_cast<std::size_t>(state_.curMCU)]) {
        const bool first = state_.curMCU == 0 && state_.curPage == 0;
        state_.curoffset = dialect_.emptyImagesAllowed || first ? offsetOf(state_.curMCU, state_.curPage)
                                                                : *state_.curoffset + kPageSize;
        sendMCUdata(state_.curMCU, state_.curPage, false);
    } else if (state_.curMCU != kLastMCU) {
        sendSwitchMCUCMD();
        awaiting_ = Awaiting::Switch;
        armPageTimer();  // a lost switch acknowledgement is a failure like a lost page's
    } else {
        awaiting_ = Awaiting::Complete;
        if (dialect_.kind == Dialect::Kind::Pages) {
            view_.setStatusText(kUpgradeCompleteText);
            view_.showAlert(kUpgradeCompleteAlert);
        } else {
            view_.showAlert(dialect_.completeText);
        }
        view_.upgradeCompleted();
    }
}

void UpgradeEngine::onSwitchAck() {
    ++state_.curMCU;
    state_.curPage = 0;
    view_.log(format("switch MCU to %lld", state_.curMCU));
    if (dialect_.kind == Dialect::Kind::ThreeAxis) view_.setStatusText(format("Set Slave%lld Mode OK", state_.curMCU));
    view_.mcuSwitched(state_.curMCU);
    sendNextOrSwitch();
}

// The same bytes again, as the gimbal may have lost them or their answer.
void UpgradeEngine::resendBlock() {
    ++sends_;
    view_.log(format("Resending Page %lld for MCU %lld", state_.curPage, state_.curMCU) +
              format(" (send %lld)", sends_));
    writeFrame(lastBlockFrame_);
    armPageTimer();
    view_.pageResent(state_.curMCU, state_.curPage, sends_);
}

void UpgradeEngine::sendPageTimeOut() {
    // The page stays outstanding: a late acknowledgement still continues.
    sendPageTimer.reset();
    const bool switching = awaiting_ == Awaiting::Switch;
    if (awaiting_ == Awaiting::Page && sends_ < dialect_.sendsPerBlock) {
        resendBlock();
        return;
    }
    view_.showAlert(switching ? dialect_.switchFailText : dialect_.blockFailText);
    if (switching)
        view_.switchTimedOut(state_.curMCU);
    else
        view_.pageTimedOut(state_.curMCU, state_.curPage);
}

void UpgradeEngine::serialPortDidReceiveData(const std::shared_ptr<serial::KivSerialPort>& /*port*/,
                                             const Bytes& data) {
    const Bytes response(data.begin(), data.end());
    view_.traceReceived(response);
    processGimbleResponse(response);
}

}  // namespace engine
