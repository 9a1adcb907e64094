// What the window tells when things go wrong, through its own widgets
// against the simulated gimbal: an upgrade that loses its port says so on
// the status line, Start clears how the last run ended, quitting mid-upgrade
// asks first, and the port list keeps naming the port Open and Start act on.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app_fixture.h"
#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "tests/upgrader/support/random_image.h"

namespace app_truth_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using app_test::acceptAlert;
using app_test::chooseFile;
using app_test::ModalDriver;
using app_test::waitUntil;
using Bytes = std::vector<std::uint8_t>;

constexpr char kConnected[] = "Gimbal Connected, current firmware version V1.23";
constexpr char kComplete[] = "Upgrade Complete!!";
constexpr char kStaysInUpgradeMode[] = ". The gimbal stays in upgrade mode until it is restarted and flashed again.";

// Answers the quit question with `answer`, noting its default button.
ModalDriver::Handler answerQuit(QMessageBox::StandardButton answer, std::vector<QMessageBox::StandardButton>* defaults) {
    return [answer, defaults](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr || box->objectName() != QStringLiteral("quitQuestion")) return false;
        defaults->push_back(box->standardButton(box->defaultButton()));
        QTest::mouseClick(box->button(answer), Qt::LeftButton);
        return true;
    };
}

class WindowTruth : public app_test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        file = fs::temp_directory_path() / ("quenlo-truth-" + std::to_string(::getpid()) + ".bin");
        const Bytes bytes = gimbal::composeFirmwareFile(
            {test_support::randomImage(2, 51), test_support::randomImage(1, 52), test_support::randomImage(2, 53)},
            1024);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        modals.expect(chooseFile(file.string()));
        click(vc->bt_FileBrowser);
    }
    void TearDown() override {
        WindowTest::TearDown();
        fs::remove(file);
    }
    // MCU 0's page 1 goes unanswered (or the device vanishes instead of
    // answering it): the upgrade waits there.
    static sim::Options stuckAtPage1(bool vanish) {
        sim::Options options;
        options.dialect = sim::Dialect::Pages;
        options.announcePeriod = 1000ms;
        if (vanish)
            options.vanishAfter = 1;
        else
            options.faults = sim::faultsAt({{1, sim::Fault::Drop}});
        return options;
    }
    void connect(const std::string& device) {
        plug({device});
        vc->portSelector->setCurrentIndex(vc->portSelector->findText(QString::fromStdString(nameOf(device))));
        click(vc->bt_OpenPort);
        ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, 20s)) << openTitle();
    }
    std::string nameOf(const std::string& path) const {
        for (const auto& port : vc->serialPortManager->availablePorts())
            if (port->path() == path) return port->name();
        return {};
    }
    std::string status() const { return vc->lb_Status->text().toStdString(); }

    fs::path file;
};

// A finished run's "Upgrade Complete!!" went on showing through the next
// run; and a run that lost its port left the gimbal shown as connected
// beside a frozen bar. Both ways of losing it, each after a finished run.
TEST_F(WindowTruth, StartClearsTheLastRunAndALostPortStopsTheUpgradeSayingWhere) {
    for (const bool vanish : {false, true}) {
        SCOPED_TRACE(vanish ? "device removed" : "port closed");
        sim::GimbalSim good;
        ASSERT_TRUE(good.start());
        ASSERT_NO_FATAL_FAILURE(connect(good.slavePath()));
        vc->engine.setPageTimeout(5s);  // should the gimbal not take a second run
        modals.expect(acceptAlert(modals));
        click(vc->bt_StartUpgrade);
        ASSERT_TRUE(waitUntil([&] { return status() == kComplete && !modals.alertTexts.empty(); }, 60s));
        modals.expect(acceptAlert(modals));
        click(vc->bt_StartUpgrade);
        EXPECT_EQ(status(), "Upgrading MCU 0, page 0 of 2") << "Start kept the last run's end";
        ASSERT_TRUE(waitUntil([&] { return modals.alertTexts.size() == 2; }, 60s));
        modals.alertTexts.clear();
        vc->engine.setPageTimeout(30s);
        click(vc->bt_OpenPort);
        ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
        unplug({good.slavePath()});

        sim::GimbalSim stuck(stuckAtPage1(vanish));
        ASSERT_TRUE(stuck.start());
        ASSERT_NO_FATAL_FAILURE(connect(stuck.slavePath()));
        const std::string path = stuck.slavePath();
        const std::string name = nameOf(path);
        click(vc->bt_StartUpgrade);
        ASSERT_TRUE(waitUntil([&] { return stuck.stats().blockFrames >= 2; }, 20s));
        if (!vanish) click(vc->bt_OpenPort);
        ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }, 20s));
        const std::string why = vanish ? "the device " + path + " was removed" : "the port " + name + " was closed";
        EXPECT_EQ(status(), "Upgrade stopped: " + why + " at MCU 0, page 1 of 2" + kStaysInUpgradeMode);
        EXPECT_FALSE(vc->engine.upgradeUnderWay());
        EXPECT_FALSE(vc->engine.pageTimerRunning()) << "a \"send Failed\" would follow for a page never answerable";
        unplug({path});
    }
}

// Close, Ctrl+Q and the window's close button ended an upgrade without a
// word. Now they ask, No by default, and No keeps upgrading.
TEST_F(WindowTruth, QuittingMidUpgradeAsksFirstAndNoKeepsUpgrading) {
    sim::GimbalSim gimbal(stuckAtPage1(false));
    ASSERT_TRUE(gimbal.start());
    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));
    std::vector<QMessageBox::StandardButton> defaults;
    const std::vector<std::pair<const char*, std::function<void()>>> ways{
        {"Ctrl+Q", [&] {
             QApplication::setActiveWindow(window.get());  // shortcuts reach the active window only
             ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
             QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
         }},
        {"close button", [&] { window->close(); }},
    };
    // Without an upgrade under way, no question.
    modals.expect(answerQuit(QMessageBox::No, &defaults));
    window->close();
    EXPECT_FALSE(window->isVisible());
    window->show();

    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().blockFrames >= 2; }, 20s));
    for (const auto& [way, quit] : ways) {
        SCOPED_TRACE(way);
        const std::size_t asked = defaults.size();
        if (asked != 0) modals.expect(answerQuit(QMessageBox::No, &defaults));
        quit();
        ASSERT_TRUE(waitUntil([&] { return defaults.size() == asked + 1; })) << "not asked";
        EXPECT_EQ(defaults.back(), QMessageBox::No);
        ASSERT_TRUE(app_test::drainMainQueue());
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(vc->engine.upgradeUnderWay());
    }
    modals.expect(answerQuit(QMessageBox::Yes, &defaults));
    window->close();
    ASSERT_TRUE(waitUntil([&] { return !window->isVisible(); }));
    EXPECT_FALSE(vc->engine.upgradeUnderWay()) << "the upgrade goes on behind a closed window";
}

// Every refill selected the first entry, so Start could act on a port the
// list did not show. Open port first, then the user's choice, then entry 0.
TEST_F(WindowTruth, ThePortListKeepsTheOpenPortOrTheUsersChoiceSelected) {
    sim::GimbalSim gimbal;
    ASSERT_TRUE(gimbal.start());
    const std::string a = "/dev/quenlo-truth-a", b = "/dev/quenlo-truth-b", c = "/dev/quenlo-truth-c";
    plug({a, b});
    QComboBox* list = vc->portSelector;
    ASSERT_EQ(list->count(), 2);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);  // the user picks b
    const QString bName = QString::fromStdString(nameOf(b));
    ASSERT_EQ(list->currentText(), bName);

    plug({c});
    EXPECT_EQ(list->currentText(), bName) << "the user's choice while it is listed";
    unplug({b});
    EXPECT_EQ(list->currentIndex(), 0) << "else the first entry";

    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));
    const QString open = QString::fromStdString(nameOf(gimbal.slavePath()));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Home);  // looked at another entry, not opened
    plug({b});
    EXPECT_EQ(list->currentText(), open) << "the open port, whatever else is selected";

    // Each entry says where it leads and why it cannot be opened, if so.
    QTextDocument tip;
    tip.setHtml(list->itemData(list->findText(bName), Qt::ToolTipRole).toString());
    const QString gone = tip.toPlainText();
    EXPECT_TRUE(gone.startsWith(QString::fromStdString(b) + QLatin1Char('\n'))) << gone.toStdString();
    EXPECT_TRUE(gone.contains(QStringLiteral("Cannot be opened: "))) << gone.toStdString();
}

// Start pressed again mid-upgrade began at MCU 0 while the gimbal stood at
// the MCU it had been switched to, and a file picked then was cut at the old
// offset; a port or rate picked while open showed beside Close although the
// open port was the one used.
TEST_F(WindowTruth, WhileAPortIsOpenItsListsAreLockedAndWhileAnUpgradeRunsStartAndBrowseAre) {
    sim::GimbalSim gimbal(stuckAtPage1(false));
    ASSERT_TRUE(gimbal.start());
    plug({"/dev/quenlo-truth-other"});
    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));
    const QString open = vc->portSelector->currentText(), rate = vc->boundsRateSelector->currentText();
    for (QComboBox* list : {vc->portSelector, vc->boundsRateSelector}) {
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Home);
    }
    EXPECT_EQ(vc->portSelector->currentText(), open) << "another port shown beside Close";
    EXPECT_EQ(vc->boundsRateSelector->currentText(), rate) << "another rate shown for the open port";

    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().blockFrames >= 2; }, 20s));
    EXPECT_FALSE(vc->bt_FileBrowser->isEnabled()) << "a new file would be cut at the old offset";
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(app_test::drainMainQueue());
    EXPECT_EQ(vc->engine.state().curPage, 1) << "started again from page 0 mid-upgrade";

    click(vc->bt_OpenPort);  // the upgrade ends with the port: Browse is back, the lists free
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
    EXPECT_TRUE(vc->bt_FileBrowser->isEnabled());
    EXPECT_TRUE(vc->portSelector->isEnabled() && vc->boundsRateSelector->isEnabled());
}

// Every received chunk went to standard output twice (decimal and as
// text), burying the event lines; it is the "quenlo.link" category's, off by default.
std::vector<std::string>* linkMessages = nullptr;
void keepLinkMessages(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (linkMessages != nullptr && context.category != nullptr && std::string(context.category) == "quenlo.link")
        linkMessages->push_back(text.toStdString());
}

TEST_F(WindowTruth, ReceivedChunksGoToALoggingCategoryOffByDefault) {
    sim::GimbalSim gimbal;
    ASSERT_TRUE(gimbal.start());
    std::vector<std::string> messages;
    linkMessages = &messages;
    const QtMessageHandler previous = qInstallMessageHandler(keepLinkMessages);
    testing::internal::CaptureStdout();
    connect(gimbal.slavePath());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("[85, 170, 0, 0"), std::string::npos) << out;
    EXPECT_TRUE(messages.empty()) << messages.front();

    QLoggingCategory::setFilterRules(QStringLiteral("quenlo.link.debug=true"));
    click(vc->bt_OpenPort);  // closed, and opened again: a fresh announcement
    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open"; }));
    click(vc->bt_OpenPort);
    const bool shown = waitUntil([&] {
        return std::any_of(messages.begin(), messages.end(),
                           [](const std::string& m) { return m.rfind("[85, 170, 0, 0", 0) == 0; });
    });
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    linkMessages = nullptr;
    EXPECT_TRUE(shown) << "switched on, the category shows the chunks";
}

// Help > About shows name, version, purpose, Qt and the licence.
TEST_F(WindowTruth, AboutTellsNameVersionQtAndLicence) {
    auto* about = window->findChild<QAction*>(QStringLiteral("aboutAction"));
    ASSERT_NE(about, nullptr) << "no About in the menus";
    modals.expect(acceptAlert(modals));
    about->trigger();
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }));
    const std::string text = modals.alertTexts[0];
    EXPECT_EQ(text.rfind("Quenlo " GIMBAL_VERSION "\n", 0), 0u) << text;
    EXPECT_NE(text.find("gimbal"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("Qt ") + qVersion()), std::string::npos) << text;
    EXPECT_NE(text.find("Licence: MIT"), std::string::npos) << text;
}

}  // namespace
}  // namespace app_truth_test
