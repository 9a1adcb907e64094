// The window itself: its form at start-up, opening and closing the port, a
// failed open, a port that hangs up, and the port-list refresh.
#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGridLayout>
#include <QImage>
#include <QMetaMethod>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include <gmock/gmock.h>

#include "link/serial_locks.h"
#include "link/virtual_ports.h"
#include "window_fixture.h"

namespace trisk_test {
namespace {

using testing::HasSubstr;

class TriskWindow : public WindowTest {};

TEST_F(TriskWindow, StartsClosedWithTheFormAsDesigned) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("UPDATE_FOR_3AXIS"));
    EXPECT_FALSE(window->windowIcon().isNull());
    auto* rates = probe.child<QComboBox>("comboBoxBaudRate");
    QStringList items;
    for (int i = 0; i < rates->count(); ++i) items << rates->itemText(i);
    EXPECT_EQ(items.join(QLatin1Char(' ')),
              QStringLiteral("50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 14400 19200 "
                             "38400 56000 57600 76800 115200 128000 256000"));
    EXPECT_EQ(rates->currentText(), QStringLiteral("115200"));
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("OPEN COM"));
    EXPECT_EQ(probe.button("BtnAbout")->text(), QStringLiteral("ABOUT"));
    EXPECT_EQ(probe.button("BtnOpenFile")->text(), QStringLiteral("OPEN FILE"));
    EXPECT_EQ(probe.button("BtnUpdate")->text(), QStringLiteral("UPDATE START"));
    EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled());
    EXPECT_FALSE(probe.button("BtnUpdate")->isEnabled());
    EXPECT_FALSE(probe.port_open());
    EXPECT_FALSE(probe.polling());
    EXPECT_EQ(probe.block_size(), 1024);
    EXPECT_EQ(probe.send_state(), 0);
}

TEST_F(TriskWindow, LayoutsSlotsAndIcon) {
    auto* grid = qobject_cast<QGridLayout*>(window->layout());
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->objectName(), QStringLiteral("gridLayout"));
    EXPECT_EQ(grid->spacing(), 6);
    EXPECT_EQ(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    const char* boxes[] = {"verticalLayout_3", "verticalLayout_2", "verticalLayout", "horizontalLayout_2",
                           "horizontalLayout"};
    for (const char* name : boxes) {
        auto* box = probe.child<QLayout>(name);
        ASSERT_NE(box, nullptr) << name;
        EXPECT_EQ(box->spacing(), 6) << name;
    }
    auto* top = probe.child<QLayout>("horizontalLayout_2");
    EXPECT_EQ(top->itemAt(0)->widget()->objectName(), QStringLiteral("comboBoxPort"));
    EXPECT_EQ(top->itemAt(2)->widget()->objectName(), QStringLiteral("BtnAbout"));

    QStringList slotNames;
    const QMetaObject* meta = window->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        EXPECT_NE(m.methodType(), QMetaMethod::Signal);
        if (m.methodType() == QMetaMethod::Slot) slotNames << QString::fromLatin1(m.name());
    }
    EXPECT_EQ(slotNames, (QStringList{"sendUpdateFile", "updataSerialData", "updatePortCom", "on_BtnOpen_clicked",
                                      "on_BtnOpenFile_clicked", "on_BtnUpdate_clicked", "on_BtnAbout_clicked"}));

    QFile gif(QStringLiteral(":/image/1192349.gif"));
    ASSERT_TRUE(gif.open(QIODevice::ReadOnly));
    EXPECT_EQ(gif.read(6), QByteArray("GIF89a"));
    EXPECT_EQ(QImage(QStringLiteral(":/image/1192349.gif")).size(), QSize(128, 128));
}

// ABOUT did nothing at all. It shows name, version, purpose, Qt and the
// licence, and changes nothing else.
TEST_F(TriskWindow, AboutTellsNameVersionQtAndLicenceAndChangesNothing) {
    probe.click("BtnAbout");
    ASSERT_EQ(modal.boxes().size(), 1u);
    const QString about = modal.boxes()[0].text;
    EXPECT_TRUE(about.startsWith(QStringLiteral("Trisk " GIMBAL_VERSION "\n"))) << about.toStdString();
    EXPECT_THAT(about.toStdString(), HasSubstr("three-axis gimbal"));
    EXPECT_THAT(about.toStdString(), HasSubstr(std::string("Qt ") + qVersion()));
    EXPECT_THAT(about.toStdString(), HasSubstr("Licence: MIT"));
    EXPECT_EQ(probe.text(), QString());
    EXPECT_FALSE(probe.port_open());
}

TEST_F(TriskWindow, OpenSetsTheLineUpAndCloseReturnsToClosed) {
    probe.child<QComboBox>("comboBoxBaudRate")->setCurrentText(QStringLiteral("38400"));
    openPort();
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("CLOSE"));
    EXPECT_TRUE(probe.button("BtnOpenFile")->isEnabled());
    EXPECT_TRUE(probe.button("BtnUpdate")->isEnabled());
    EXPECT_TRUE(probe.polling());
    const termios t = peer.settings();
    EXPECT_EQ(cfgetospeed(&t), B38400);
    EXPECT_EQ(cfgetispeed(&t), B38400);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);

    probe.feed(gimbal::announcementFrame(1024, 1));
    ASSERT_FALSE(probe.text().isEmpty());
    probe.click("BtnOpen");
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("OPEN"));
    EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled());
    EXPECT_FALSE(probe.button("BtnUpdate")->isEnabled());
    EXPECT_FALSE(probe.polling());
    EXPECT_FALSE(probe.has_port());
    EXPECT_EQ(probe.text(), QString());

    // Still blue after the clear, on every line.
    probe.feed(gimbal::announcementFrame(1024, 1));
    QTextDocument* doc = probe.child<QTextBrowser>("textBrowser")->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        QTextCursor c(b);
        c.movePosition(QTextCursor::NextCharacter);
        EXPECT_EQ(c.charFormat().foreground().color(), QColor(Qt::blue)) << b.text().toStdString();
    }
}

TEST_F(TriskWindow, ReceivedBytesArePolledIntoTheParser) {
    openPort();
    // Split over two writes and two polls: the parser waits for the rest.
    const gimbal::Bytes frame = gimbal::announcementFrame(256, 203);
    peer.write(gimbal::Bytes(frame.begin(), frame.begin() + 5));
    ASSERT_TRUE(waitFor([&] { return probe.rx_state() == 5; }));
    peer.write(gimbal::Bytes(frame.begin() + 5, frame.end()));
    ASSERT_TRUE(waitFor([&] { return probe.block_size() == 256; }));
    EXPECT_EQ(probe.text(), QStringLiteral("LINK OK !\nVERSION 2.03"));
}

// The name is shown as it stands: a planted "<b>" makes nothing bold.
TEST_F(TriskWindow, FailedOpenIsReportedAndTheWindowStaysClosed) {
    probe.openOn(QStringLiteral("/dev/<b>trisk-no-such-port</b>"));
    ASSERT_EQ(modal.boxes().size(), 1u);
    EXPECT_THAT(modal.boxes()[0].text.toStdString(), HasSubstr("/dev/<b>trisk-no-such-port</b>"));
    EXPECT_FALSE(modal.boxes()[0].rich);
    EXPECT_EQ(modal.boxes()[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(probe.port_open());
    EXPECT_FALSE(probe.has_port());
    EXPECT_FALSE(probe.polling());
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("OPEN COM"));
    EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled());
    // Writes in that state go nowhere.
    window->setSlaveMode();
}

TEST_F(TriskWindow, HungUpPortIsClosedWithOneMessage) {
    openPort();
    peer.hangUp();
    ASSERT_TRUE(waitFor([&] { return !probe.port_open() && modal.boxes().size() == 1; }));
    // Named as the list named it to the user.
    EXPECT_THAT(modal.boxes()[0].text.toStdString(), HasSubstr(peer.path().toStdString() + " was lost"));
    EXPECT_FALSE(probe.has_port());
    EXPECT_FALSE(probe.polling());
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("OPEN"));
    EXPECT_FALSE(probe.button("BtnUpdate")->isEnabled());
    // The sequencer's writes after the loss are dropped.
    probe.send_state() = 1;
    probe.step(3);
    QCoreApplication::processEvents();
    EXPECT_EQ(modal.boxes().size(), 1u) << "one message, not a storm";
}

TEST_F(TriskWindow, PortListIsRebuiltWhenTheCountChanges) {
    auto* ports = probe.child<QComboBox>("comboBoxPort");
    ports->addItem(QStringLiteral("stale"));
    probe.refreshPorts();
    EXPECT_TRUE(ports->findText(QStringLiteral("stale")) >= 0) << "same count: untouched";
    openPort();
    probe.port_count() = -1;
    probe.refreshPorts();
    EXPECT_EQ(ports->findText(QStringLiteral("stale")), -1);
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("CLOSE")) << "the label follows the port";
    EXPECT_TRUE(probe.port_open()) << "a refresh leaves an open port open";
    probe.click("BtnOpen");
    EXPECT_FALSE(probe.port_open());
}

// A link in the virtual-port folder is listed by its name, with the link and
// its device as the tool tip, and opens like any port; the list follows it
// coming and going.
TEST_F(TriskWindow, VirtualPortsAreListedByTheirName) {
    auto* ports = probe.child<QComboBox>("comboBoxPort");
    const QString folder = QString::fromStdString(gimbal::virtualSerialFolder());
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString link = folder + QStringLiteral("/sim gimbal");
    ASSERT_TRUE(QFile::link(peer.path(), link));
    {
        // Present at start-up: the first refresh finds nothing changed.
        trisk::Widget fresh;
        WidgetProbe freshProbe(fresh);
        freshProbe.refreshPorts();
        EXPECT_EQ(freshProbe.button("BtnOpen")->text(), QStringLiteral("OPEN COM"));
    }
    probe.refreshPorts();
    ASSERT_GE(ports->findText(QStringLiteral("sim gimbal")), 0);
    ports->setCurrentIndex(ports->findText(QStringLiteral("sim gimbal")));
    EXPECT_EQ(QTextDocumentFragment::fromHtml(ports->currentData(Qt::ToolTipRole).toString()).toPlainText(),
              link + QStringLiteral(" → ") + peer.path());
    probe.click("BtnOpen");
    EXPECT_TRUE(probe.port_open()) << modal.texts().join(QStringLiteral(" / ")).toStdString();
    probe.click("BtnOpen");
    ASSERT_FALSE(probe.port_open());

    // Held by another program (its lock file names a live process): left
    // out, and the text area says who holds it, once.
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(holder.waitForStarted());
    const auto dir = gimbal::lockDirectory();
    ASSERT_TRUE(dir);
    const auto lockName = gimbal::literalLockFileNameFor(link.toStdString());
    ASSERT_TRUE(lockName);
    const QString lockFile = QString::fromStdString(*dir + "/" + *lockName);
    QFile lock(lockFile);
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(holder.processId()) + "\nsleep\nhost\n");
    lock.close();
    for (int scan = 0; scan < 2; ++scan) {
        probe.port_count() = -1;
        probe.refreshPorts();
    }
    QFile::remove(lockFile);
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(ports->findData(link), -1);
    EXPECT_EQ(probe.text().count(QStringLiteral(" is in use by sleep (PID")), 1) << probe.text().toStdString();

    QFile::remove(link);
    probe.refreshPorts();
    EXPECT_EQ(ports->findData(link), -1);
}

// A virtual port was opened by its link's name, so Qt locked that name while
// quenlo-flash locks the device's: both could hold one port. The window
// opens the device the link leads to, keeps it listed, selected and labelled
// CLOSE across refreshes, and refuses a port held under the device's own
// name, saying by whom and what to do.
TEST_F(TriskWindow, AVirtualPortIsOpenedAsItsDeviceAndAHolderIsNamedWithTheFix) {
    auto* ports = probe.child<QComboBox>("comboBoxPort");
    const QString folder = QString::fromStdString(gimbal::virtualSerialFolder());
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString link = folder + QStringLiteral("/held gimbal");
    ASSERT_TRUE(QFile::link(peer.path(), link));
    const auto removeLink = qScopeGuard([&link] { QFile::remove(link); });
    const auto dir = gimbal::lockDirectory();
    ASSERT_TRUE(dir);
    const QString deviceLock = QString::fromStdString(*dir + "/" + gimbal::lockFileNameFor(link.toStdString()));

    probe.port_count() = -1;
    probe.refreshPorts();
    ports->setCurrentIndex(ports->findData(link));
    probe.click("BtnOpen");
    ASSERT_TRUE(probe.port_open()) << modal.texts().join(QStringLiteral(" / ")).toStdString();
    EXPECT_TRUE(QFile::exists(deviceLock)) << "not locked under the device's name";
    for (int scan = 0; scan < 2; ++scan) {
        probe.port_count() = -1;
        probe.refreshPorts();
    }
    EXPECT_EQ(ports->currentData().toString(), link) << "the open port left the list or the selection";
    EXPECT_EQ(probe.button("BtnOpen")->text(), QStringLiteral("CLOSE"));
    probe.click("BtnOpen");
    ASSERT_FALSE(probe.port_open());

    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(holder.waitForStarted());
    const auto stopHolder = qScopeGuard([&holder] {
        holder.kill();
        holder.waitForFinished();
    });
    QFile lock(deviceLock);
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(holder.processId()).rightJustified(10, ' ') + "\nsleep\n");
    lock.close();
    const auto removeLock = qScopeGuard([&deviceLock] { QFile::remove(deviceLock); });
    probe.openOn(link);
    EXPECT_FALSE(probe.port_open()) << "opened a port another program holds";
    ASSERT_EQ(modal.boxes().size(), 1u);
    const std::string refusal = modal.boxes()[0].text.toStdString();
    EXPECT_THAT(refusal, HasSubstr(" is in use by "));
    EXPECT_THAT(refusal, HasSubstr("(PID " + std::to_string(holder.processId())));
    EXPECT_THAT(refusal, HasSubstr(". Fix: close "));
}

// Every virtual port showed as the cut-off start of its runtime folder: the
// box now grows to the longest name, and the entry's tool tip is the link.
TEST_F(TriskWindow, LongPortNamesAreShownWhole) {
    const QString folder = QString::fromStdString(gimbal::virtualSerialFolder());
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString name = QStringLiteral("gimbal on the bench, behind the second USB hub");
    const QString link = folder + QLatin1Char('/') + name;
    ASSERT_TRUE(QFile::link(peer.path(), link));
    const auto removeLink = qScopeGuard([&link] { QFile::remove(link); });
    probe.refreshPorts();
    QCoreApplication::processEvents();
    auto* ports = probe.child<QComboBox>("comboBoxPort");
    const int at = ports->findText(name);
    ASSERT_GE(at, 0);
    EXPECT_TRUE(QTextDocumentFragment::fromHtml(ports->itemData(at, Qt::ToolTipRole).toString())
                    .toPlainText()
                    .startsWith(link));
    EXPECT_GE(ports->width(), QFontMetrics(ports->font()).horizontalAdvance(name));
}

// UPDATE START and OPEN FILE could be used during a run, and the port and
// rate lists while the port was open, where they then named a port not in use.
TEST_F(TriskWindow, WhileThePortIsOpenItsListsAreLockedAndWhileARunGoesStartAndOpenFileAre) {
    openPort();
    auto* ports = probe.child<QComboBox>("comboBoxPort");
    auto* rates = probe.child<QComboBox>("comboBoxBaudRate");
    ports->insertItem(0, QStringLiteral("another port"));
    for (QComboBox* list : {ports, rates}) {
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Home);
    }
    EXPECT_EQ(ports->currentText(), peer.path()) << "another port shown beside CLOSE";
    EXPECT_EQ(rates->currentText(), QStringLiteral("115200"));

    loadFile(updateFile(64, 2, 1, 1));
    probe.feed(gimbal::announcementFrame(64, 100));
    probe.click("BtnUpdate");
    probe.step(2);  // image 1 set up, its block 0 sent
    QCoreApplication::processEvents();
    EXPECT_FALSE(probe.button("BtnUpdate")->isEnabled());
    EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled()) << "a new file would be read under the run";
    probe.feed(gimbal::blockAckFrame(0));
    QMetaObject::invokeMethod(window.get(), "sendUpdateFile");  // one tick of the sequencer's clock
    auto* bar = probe.child<QProgressBar>("progressBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 4);
    EXPECT_EQ(bar->value(), 1);
    EXPECT_TRUE(bar->text().startsWith(QStringLiteral("Image 1 of 3: 1 of 2 blocks"))) << bar->text().toStdString();
    probe.send_state() = 0;  // the run ends
    QMetaObject::invokeMethod(window.get(), "sendUpdateFile");
    EXPECT_TRUE(probe.button("BtnUpdate")->isEnabled());
    probe.click("BtnOpen");
    EXPECT_TRUE(ports->isEnabled() && rates->isEnabled());
}

}  // namespace
}  // namespace trisk_test
