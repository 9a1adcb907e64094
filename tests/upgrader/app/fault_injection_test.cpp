// Faults around the link that only the real window can meet: the page timer
// of the window itself, a device that vanishes mid-upgrade and comes back, a
// port another program holds, and the window closed mid-upgrade. Faults on
// the replies themselves are rows of tests/upgrader/engine/fault_injection_test.cpp,
// which drive the same engine on a real port without a window.
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>

#include <array>
#include <filesystem>
#include <fstream>

#include "app_fixture.h"
#include "link/firmware_file.h"
#include "sim/gimbal_sim.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "tests/upgrader/support/random_image.h"

namespace app_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const std::string kComplete = "Upgrade Complete!!Please RESTART your gimbal.";

using test_support::randomImage;

class WindowFaults : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        images = {randomImage(2, 31), randomImage(1, 32), randomImage(2, 33)};
        path = fs::temp_directory_path() / ("quenlo-faults-" + std::to_string(::getpid()) + ".bin");
        const Bytes file = gimbal::composeFirmwareFile(images, 1024, Bytes{3, 3, 3});
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        modals.expect(chooseFile(path.string()));
        click(vc->bt_FileBrowser);
    }
    void TearDown() override {
        WindowTest::TearDown();
        fs::remove(path);
    }

    static sim::Options gimbalOptions() {
        sim::Options options;
        options.dialect = sim::Dialect::Pages;
        // No announcement still under way once answered, so none shares a
        // read with an acknowledgement.
        options.announcePeriod = 1000ms;
        options.baud = 115200;
        return options;
    }
    // Puts the device in the list (its only entry, which is selected) and
    // opens it; waits for Start.
    void connect(const std::string& device) {
        plug({device});
        click(vc->bt_OpenPort);
        ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, 20s)) << openTitle();
    }
    void expectExactly(const sim::GimbalSim& gimbal) const {
        for (std::size_t mcu = 0; mcu < 3; ++mcu) EXPECT_EQ(gimbal.image(mcu), images[mcu]) << "MCU " << mcu;
    }
    void expectNoWrongPage(const sim::GimbalSim& gimbal) const {
        for (const sim::BlockRecord& r : gimbal.blockLog()) {
            ASSERT_LT(r.segment, 3u);
            ASSERT_LE((r.index + 1u) * 1024u, images[r.segment].size());
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), images[r.segment].begin() + r.index * 1024))
                << "MCU " << r.segment << " page " << r.index;
        }
    }
    // The window's running page timer, if any.
    QTimer* pageTimer() const {
        for (QTimer* t : QCoreApplication::instance()->findChildren<QTimer*>())
            if (t->isActive() && t->isSingleShot() && t->interval() == 30000) return t;
        return nullptr;
    }

    std::array<Bytes, 3> images;
    fs::path path;
};

// The window's own 30 s timer runs out (fired early here); the ack that comes
// late still carries the upgrade on to its end.
TEST_F(WindowFaults, SendFailedThenALateAckCompletesWithTheWholeFile) {
    sim::Options options = gimbalOptions();
    options.delay = 1500ms;
    options.faults = sim::faultsAt({{1, sim::Fault::Delay}});
    sim::GimbalSim gimbal(options);
    ASSERT_TRUE(gimbal.start());
    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));

    modals.expect(acceptAlert(modals));
    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().repliesDue >= 2; }));
    QTimer* timer = pageTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer) << "a coarse timer may say \"send Failed\" early";
    timer->start(0);
    ASSERT_TRUE(waitUntil([&] { return modals.alertTexts.size() == 2; }, 60s));
    EXPECT_EQ(modals.alertTexts, (std::vector<std::string>{"send Failed", kComplete}));
    EXPECT_EQ(vc->lb_Status->text().toStdString(), "Upgrade Complete!!");
    expectExactly(gimbal);
    EXPECT_EQ(gimbal.stats().blockFrames, 5u) << "nothing is resent";
}

// The adapter goes away instead of answering MCU 0's second page: the window
// lets the port go; plugged in again, a new Start writes the whole file.
TEST_F(WindowFaults, DeviceVanishingMidUpgradeAndComingBackEndsWithTheWholeFile) {
    sim::Options options = gimbalOptions();
    options.vanishAfter = 1;
    sim::GimbalSim gimbal(options);
    ASSERT_TRUE(gimbal.start());
    const std::string first = gimbal.slavePath();
    ASSERT_NO_FATAL_FAILURE(connect(first));
    click(vc->bt_StartUpgrade);

    ASSERT_TRUE(waitUntil([&] { return openTitle() == "Open" && !vc->bt_StartUpgrade->isEnabled(); }, 20s));
    EXPECT_EQ(vc->serialPort, nullptr);
    EXPECT_TRUE(modals.alertTexts.empty());
    EXPECT_NE(vc->lb_Status->text().toStdString(), "Upgrade Complete!!");
    expectNoWrongPage(gimbal);
    unplug({first});

    ASSERT_TRUE(gimbal.revive());
    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));
    modals.expect(acceptAlert(modals));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return !modals.alertTexts.empty(); }, 60s));
    EXPECT_EQ(modals.alertTexts, std::vector<std::string>{kComplete});
    expectExactly(gimbal);
}

// Another program has the port: opening it fails, the window stays closed,
// and the holder keeps its port and hears the gimbal as before.
TEST_F(WindowFaults, APortHeldByAnotherProgramIsLeftAloneAndCanBeOpenedOnceFree) {
    sim::GimbalSim gimbal(gimbalOptions());
    ASSERT_TRUE(gimbal.start());
    QSerialPort holder(QString::fromStdString(gimbal.slavePath()));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();

    plug({gimbal.slavePath()});
    click(vc->bt_OpenPort);
    ASSERT_TRUE(waitUntil([&] {
        const auto port = serial::KivSerialPort::existingPortWithPath(gimbal.slavePath());
        return port && !port->isOpen();
    }));
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(openTitle(), "Open");
    EXPECT_FALSE(vc->bt_StartUpgrade->isEnabled());
    EXPECT_TRUE(holder.isOpen());
    holder.readAll();
    ASSERT_TRUE(waitUntil([&] { return holder.waitForReadyRead(10) && holder.bytesAvailable() > 0; }, 10s))
        << "the holder no longer hears the gimbal";
    EXPECT_TRUE(holder.readAll().startsWith(QByteArray("\x55\xAA\x00\x00", 4)));
    EXPECT_EQ(gimbal.stats().framesReceived, 0u) << "the window wrote to a port it does not hold";

    holder.close();
    click(vc->bt_OpenPort);  // lets go of the failed port and tries again
    ASSERT_TRUE(waitUntil([&] { return vc->bt_StartUpgrade->isEnabled(); }, 20s)) << openTitle();
    EXPECT_EQ(openTitle(), "Close");
}

// The user closes the window while pages are on their way: nothing reaches
// the gone controller, nothing more is sent, and the port is let go when the
// device goes.
TEST_F(WindowFaults, ClosingTheWindowMidUpgradeStopsSendingAndLeavesNoWrongPage) {
    sim::Options options = gimbalOptions();
    options.delay = 500ms;
    options.faults = sim::faultsAt({{2, sim::Fault::Delay}});  // the switch ack comes after the window is gone
    sim::GimbalSim gimbal(options);
    ASSERT_TRUE(gimbal.start());
    ASSERT_NO_FATAL_FAILURE(connect(gimbal.slavePath()));
    click(vc->bt_StartUpgrade);
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().switchRequests == 1; }));

    // The user says yes to stopping the upgrade.
    modals.expect([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) return false;
        QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        return true;
    });
    window->close();
    ASSERT_TRUE(waitUntil([&] { return !window->isVisible(); }));
    window.reset();
    vc = nullptr;
    ASSERT_TRUE(waitUntil([&] { return gimbal.stats().repliesSent >= 3; }));
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(gimbal.stats().blockFrames, 2u);
    EXPECT_EQ(gimbal.stats().switchRequests, 1u);
    expectNoWrongPage(gimbal);

    const std::string device = gimbal.slavePath();
    unplug({device});
    EXPECT_TRUE(waitUntil([&] { return gimbal.stats().hangups >= 1; }));
}

}  // namespace
}  // namespace app_test
