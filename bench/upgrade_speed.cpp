// Upgrade speed of both tools against the simulated gimbal, measured in one
// run: a 3 x 64-page upgrade with the simulator pacing the line at 115200 and
// 230400 baud, given as (wire-time minimum) / (measured time), and pages per
// second through the whole stack with an unpaced line.
//
// quenlo-flash is driven in-process through runFlash(), the very code its
// main() calls after the command line: the same session, engine and port,
// without a child process whose start-up and pipe would blur the timing. Its
// report lines are time-stamped as they are written, so the measured span runs
// from "Gimbal Connected" (the version report handled) to "Upgrade Complete!!"
// (the last acknowledgement handled); with --three-axis, from "LINK OK !" to
// "SEND OK", the same engine speaking the blocks with a simulated three-axis
// gimbal.
//
// Trisk is a real Widget on the offscreen platform, opened, loaded and started
// through its buttons; the span runs from the click on UPDATE START to the
// "SEND OK" box. Its sequencer sends one block per 100 ms tick and reads the
// port every 200 ms, so its ratio is far below 1 by design. Its three runs go
// side by side on the one GUI thread: each is bound by its own timers, not by
// the processor, and alone they would take two minutes.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim/gimbal_sim.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/engine/upgrade_frames.h"
#include "upgrader/flash/flash_run.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/thread_shutdown.h"
#include "widget.h"

namespace {

using Clock = std::chrono::steady_clock;
using gimbal::Bytes;

constexpr std::size_t kImages = gimbal::kImageCount;
constexpr std::size_t kPagesPerImage = 64;
constexpr std::size_t kPages = kImages * kPagesPerImage;
constexpr std::size_t kBlock = gimbal::kDefaultBlockSize;
constexpr std::uint32_t kUnpaced = 0;
constexpr std::uint32_t kBauds[] = {115200, 230400};
constexpr int kBitsPerByte = 10;  // start, 8 data, stop

struct Result {
    std::string tool;
    std::uint32_t baud = 0;
    double seconds = 0;      // measured span
    double wireSeconds = 0;  // wire-time minimum of the same span
    sim::Stats stats;
    std::string failure;  // empty when the run completed and the gimbal holds the file
};

Result named(std::string tool, std::uint32_t baud) {
    Result r;
    r.tool = std::move(tool);
    r.baud = baud;
    return r;
}

// ---- Wire-time minimum ---------------------------------------------------
// Every frame and reply on the wire inside the measured span, in the sizes the
// builders produce, at 10 bits per byte. The link is stop-and-wait, so their
// wire times add up. Not counted: the announcement the span starts with.
//   quenlo-flash: enter-upgrade-mode request, 192 page frames and their
//   acknowledgements, two switch requests and their acknowledgements.
//   Trisk: 192 block frames and their acknowledgements, two switch requests
//   and their acknowledgements; its link reply goes out when the gimbal
//   announces itself, before the user loads the file and starts.
//   quenlo-flash --three-axis: the link reply, then as Trisk.

std::size_t quenloWireBytes() {
    const Bytes block(kBlock, 0);
    std::size_t bytes = engine::enterUpgradeModeFrame().size();
    bytes += kPages * (engine::pageDataFrame(0, block).size() + gimbal::blockAckFrame(0).size());
    bytes += (kImages - 1) * (engine::switchMCUFrame().size() + gimbal::switchAckFrame().size());
    return bytes;
}

std::size_t triskWireBytes() {
    const Bytes block(kBlock, 0);
    std::size_t bytes = kPages * (gimbal::buildBlockFrame(0, block).size() + gimbal::blockAckFrame(0).size());
    bytes += (kImages - 1) * (gimbal::updaterSwitchFrame().size() + gimbal::switchAckFrame().size());
    return bytes;
}

std::size_t threeAxisWireBytes() {
    return gimbal::linkReplyFrame().size() + triskWireBytes();
}

double wireSeconds(std::size_t bytes, std::uint32_t baud) {
    return baud == kUnpaced ? 0.0 : static_cast<double>(bytes) * kBitsPerByte / baud;
}

double since(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// ---- Firmware file and check ---------------------------------------------

Bytes imageBytes(std::size_t image) {
    Bytes bytes(kPagesPerImage * kBlock);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(image * 89 + i * 7 + i / 1021);
    return bytes;
}

std::string writeFirmwareFile(const QTemporaryDir& dir) {
    const Bytes file = gimbal::composeFirmwareFile({imageBytes(0), imageBytes(1), imageBytes(2)}, kBlock);
    const std::string path = dir.filePath(QStringLiteral("bench.bin")).toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path;
}

// A measurement only counts when the gimbal ended up with the whole file.
std::string checkGimbal(const sim::GimbalSim& gimbal) {
    const sim::Stats s = gimbal.stats();
    if (s.blockFrames != kPages || s.switchRequests != kImages - 1 || s.badCrcFrames != 0)
        return "gimbal saw " + std::to_string(s.blockFrames) + " pages, " + std::to_string(s.switchRequests) +
               " switches, " + std::to_string(s.badCrcFrames) + " bad frames";
    for (std::size_t i = 0; i < kImages; ++i)
        if (gimbal.image(i) != imageBytes(i)) return "image " + std::to_string(i + 1) + " differs";
    return {};
}

sim::Options gimbalOptions(sim::Dialect dialect, std::uint32_t baud) {
    sim::Options o;
    o.dialect = dialect;
    o.baud = baud;
    o.blockSize = static_cast<std::uint16_t>(kBlock);
    return o;
}

// ---- quenlo-flash --------------------------------------------------------

// An output stream target that keeps each line with the moment its newline came.
class TimedLines : public std::streambuf {
public:
    std::optional<Clock::time_point> firstContaining(const std::string& needle) const {
        for (const auto& [at, text] : lines_)
            if (text.find(needle) != std::string::npos) return at;
        return std::nullopt;
    }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        if (c == '\n')
            lines_.emplace_back(Clock::now(), std::exchange(current_, {}));
        else
            current_ += static_cast<char>(c);
        return c;
    }

private:
    std::string current_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

Result runQuenlo(std::uint32_t baud, const std::string& file, bool threeAxis = false) {
    Result r = named(threeAxis ? "flash three-axis" : "quenlo-flash", baud);
    sim::GimbalSim gimbal(gimbalOptions(threeAxis ? sim::Dialect::Blocks : sim::Dialect::Pages, baud));
    if (!gimbal.start(&r.failure)) return r;
    flash::Options options;
    options.ports = {gimbal.slavePath()};
    options.baud = baud == kUnpaced ? 230400 : baud;  // a pty only stores it
    options.file = file;
    options.threeAxis = threeAxis;
    TimedLines lines;
    std::ostream out(&lines);
    const int code = flash::runFlash(options, out, std::cerr, flash::OutputForm::Text);
    const auto from = lines.firstContaining(threeAxis ? "LINK OK !" : "Gimbal Connected");
    const auto to = lines.firstContaining(threeAxis ? "SEND OK" : engine::kUpgradeCompleteText);
    r.stats = gimbal.stats();
    r.failure =
        code != 0 || !from || !to ? "quenlo-flash ended with code " + std::to_string(code) : checkGimbal(gimbal);
    if (from && to) r.seconds = since(*from, *to);
    r.wireSeconds = wireSeconds(threeAxis ? threeAxisWireBytes() : quenloWireBytes(), baud);
    return r;
}

// ---- Trisk ---------------------------------------------------------------

// Answers the windows' modal dialogs as a user would: the file dialog gets
// the file name typed in, message boxes are noted with their time and closed.
class ModalAnswerer {
public:
    struct Box {
        QWidget* parent;
        QString text;
        Clock::time_point at;
    };
    ModalAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(2);
    }
    void chooseFile(const QString& path) { file_ = path; }
    std::optional<Clock::time_point> boxSeen(const QWidget* parent, const QString& text) const {
        for (const Box& b : boxes_)
            if (b.parent == parent && b.text == text) return b.at;
        return std::nullopt;
    }
    bool anyBox(const QWidget* parent) const {
        for (const Box& b : boxes_)
            if (b.parent == parent) return true;
        return false;
    }

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes_.push_back({box->parentWidget(), box->text(), Clock::now()});
            box->accept();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name == nullptr) return;
            name->setText(file_);
            QTest::keyClick(name, Qt::Key_Return);
        }
    }
    QTimer timer_;
    QString file_;
    std::vector<Box> boxes_;
};

// One window and its own simulated gimbal.
class TriskRun {
public:
    explicit TriskRun(std::uint32_t baud) : baud_(baud), gimbal_(gimbalOptions(sim::Dialect::Blocks, baud)) {
        window_.show();
    }
    bool startGimbal(std::string* error) { return gimbal_.start(error); }

    template <typename T>
    T* child(const char* name) {
        return window_.findChild<T*>(QString::fromLatin1(name));
    }
    QString text() { return child<QTextBrowser>("textBrowser")->toPlainText(); }
    void click(const char* name) { QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton); }

    // The port scan never lists a pty and the rate list stops short of
    // 230400: both go in as a user would type them.
    void openPort() {
        select(child<QComboBox>("comboBoxPort"), QString::fromStdString(gimbal_.slavePath()));
        select(child<QComboBox>("comboBoxBaudRate"), QString::number(baud_ == kUnpaced ? 230400 : baud_));
        click("BtnOpen");
    }
    void loadFile(ModalAnswerer& modal, const QString& path) {
        modal.chooseFile(path);
        click("BtnOpenFile");
    }
    void start() {
        started_ = Clock::now();
        click("BtnUpdate");
    }
    Result result(const ModalAnswerer& modal) const;
    const QWidget* window() const { return &window_; }

private:
    static void select(QComboBox* box, const QString& item) {
        if (box->findText(item) < 0) box->addItem(item);
        box->setCurrentIndex(box->findText(item));
    }
    std::uint32_t baud_;
    sim::GimbalSim gimbal_;
    trisk::Widget window_;
    Clock::time_point started_;
};

Result TriskRun::result(const ModalAnswerer& modal) const {
    Result r = named("Trisk sequencer", baud_);
    const auto done = modal.boxSeen(&window_, QStringLiteral("SEND OK"));
    r.stats = gimbal_.stats();
    r.failure = done ? checkGimbal(gimbal_) : "no SEND OK";
    if (done) r.seconds = since(started_, *done);
    r.wireSeconds = wireSeconds(triskWireBytes(), baud_);
    return r;
}

bool allOf(const std::vector<std::unique_ptr<TriskRun>>& runs, const std::function<bool(TriskRun&)>& test) {
    for (const auto& run : runs)
        if (!test(*run)) return false;
    return true;
}

std::vector<Result> runTrisk(const std::string& file) {
    std::vector<std::unique_ptr<TriskRun>> runs;
    for (const std::uint32_t baud : {kBauds[0], kBauds[1], kUnpaced}) runs.push_back(std::make_unique<TriskRun>(baud));
    std::string error;
    for (auto& run : runs)
        if (!run->startGimbal(&error)) {
            Result r = named("Trisk sequencer", kUnpaced);
            r.failure = error;
            return {r};
        }
    // The first port scan (after 1 s) rebuilds the port list: let it pass first.
    platform::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(1200));
    ModalAnswerer modal;
    for (auto& run : runs) run->openPort();
    const auto linked = [](TriskRun& r) { return r.text().startsWith(QStringLiteral("LINK OK !")); };
    platform::runMainLoopUntil([&] { return allOf(runs, linked); }, std::chrono::seconds(10));
    for (auto& run : runs) run->loadFile(modal, QString::fromStdString(file));
    const auto fileOk = [](TriskRun& r) { return r.text().endsWith(QStringLiteral("FILE OK")); };
    platform::runMainLoopUntil([&] { return allOf(runs, fileOk); }, std::chrono::seconds(10));
    for (auto& run : runs) run->start();
    // Every end of a run ("SEND OK", "SEND FAIL", "SLAVE SET FAILE!") is a box.
    const auto done = [&](TriskRun& r) { return modal.anyBox(r.window()); };
    platform::runMainLoopUntil([&] { return allOf(runs, done); }, std::chrono::seconds(150));
    std::vector<Result> results;
    for (auto& run : runs) results.push_back(run->result(modal));
    return results;
}

// ---- Report ----------------------------------------------------------------

// The simulator's own pacing error: how late its writes left, mean and worst.
std::string lateness(const sim::Stats& s) {
    using Micros = std::chrono::duration<double, std::micro>;
    const std::size_t writes = s.repliesSent + s.announcementsSent;
    const double mean = writes == 0 ? 0 : Micros(s.pacingLatenessTotal).count() / static_cast<double>(writes);
    char text[64];
    std::snprintf(text, sizeof text, "%8.3f %8.3f", mean / 1000, Micros(s.pacingLatenessMax).count() / 1000);
    return text;
}

// Time above the wire minimum per page: the tool's turnaround plus the
// simulator's lateness (shown beside it) plus the pty's delivery.
double overPageMs(const Result& r) {
    return (r.seconds - r.wireSeconds) / kPages * 1000;
}

void print(const std::vector<Result>& results) {
    std::printf("%-16s %7s %8s %9s %6s %8s %9s %17s\n", "tool", "baud", "wire s", "measured", "ratio", "pages/s",
                "over/page", "sim late avg/max");
    std::printf("%-16s %7s %8s %9s %6s %8s %9s %17s\n", "", "", "", "s", "", "", "ms", "ms");
    for (const Result& r : results) {
        const bool paced = r.baud != kUnpaced;
        char ratio[16] = "-";
        if (paced && r.seconds > 0) std::snprintf(ratio, sizeof ratio, "%.3f", r.wireSeconds / r.seconds);
        std::printf("%-16s %7s %8.3f %9.3f %6s %8.1f %9.3f %s%s%s\n", r.tool.c_str(),
                    paced ? std::to_string(r.baud).c_str() : "unpaced", r.wireSeconds, r.seconds, ratio,
                    r.seconds > 0 ? kPages / r.seconds : 0.0, overPageMs(r),
                    paced ? lateness(r.stats).c_str() : "        -        -",
                    r.failure.empty() ? "" : "  FAILED: ", r.failure.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const platform::BackgroundThreadsStop stopThreads;
    QTemporaryDir dir;
    const std::string file = writeFirmwareFile(dir);
    std::printf("3 x %zu pages of %zu bytes, 10 bits per byte on the wire\n", kPagesPerImage, kBlock);
    std::vector<Result> results;
    for (const std::uint32_t baud : kBauds) results.push_back(runQuenlo(baud, file));
    results.push_back(runQuenlo(kUnpaced, file));
    for (const std::uint32_t baud : kBauds) results.push_back(runQuenlo(baud, file, true));
    results.push_back(runQuenlo(kUnpaced, file, true));
    for (Result& r : runTrisk(file)) results.push_back(std::move(r));
    print(results);
    std::fflush(stdout);
    for (const Result& r : results)
        if (!r.failure.empty()) return 1;
    return 0;
}
