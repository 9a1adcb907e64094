// The serial port: the list of ports that can be opened, opening and closing
// at the chosen rate (8N1, no flow control), the 200 ms receive poll, and
// closing a port that hung up. Ports are listed by Qt and opened through the
// shared exclusive open (line_port.h).
#include "widget.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDebug>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QSerialPortInfo>
#include <QTextBrowser>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "line_port.h"
#include "link/port_diagnosis.h"
#include "link/low_latency.h"
#include "link/virtual_ports.h"
#include "ui_widget.h"

namespace trisk {

namespace {

// Each port's details would fill the terminal; QT_LOGGING_RULES="trisk.ports.debug=true" shows them.
Q_LOGGING_CATEGORY(lcTriskPorts, "trisk.ports", QtInfoMsg)

constexpr int kReadPollMs = 200;
constexpr qint64 kReadChunk = 256;

// The virtual ports by the link's full path, which the port opens as it is.
QStringList virtualPortNames() {
    static const std::string folder = gimbal::virtualSerialFolder();  // fixed for the process
    QStringList names;
    for (const auto& port : gimbal::listVirtualSerialPorts(folder)) names << QString::fromStdString(port.path);
    return names;
}

// How the list shows a port: a virtual one by its link's name, as Quenlo
// does (the folder is the same for all of them), others by Qt's name.
QString shownName(const QString& port) {
    return port.startsWith(QLatin1Char('/')) ? QFileInfo(port).fileName() : port;
}

// The device behind an entry, for its tool tip: the link and where it leads,
// or the device node. Shown as plain text whatever the names hold.
QString deviceToolTip(const QString& port) {
    QString text = port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    const QString target = QFileInfo(text).canonicalFilePath();
    if (!target.isEmpty() && target != text) text += QStringLiteral(" → ") + target;
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

QString diagnosisLine(const gimbal::PortDiagnosis& why) {
    return QString::fromStdString(why.hint.empty() ? why.text : why.text + ". Fix: " + why.hint);
}

// Why the open of `path` failed, with the holder and the fix where they can
// be found: the open and the diagnosis judge a lock file alike.
QString refusal(const QString& path, int error, const char* failedCall) {
    const gimbal::PortDiagnosis why = gimbal::diagnoseOpenFailure(path.toStdString(), error);
    if (why.cause != gimbal::PortCause::Other) return diagnosisLine(why);
    return path + QStringLiteral(": ") + QString::fromLatin1(failedCall) + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

// A port that cannot be opened stays out of the list; the text area says why
// and how to fix it, once per port and cause rather than every scan. Qt does
// not tell the errno, so the cause is found from the device itself. The port
// this window has open stays listed: the list names the port Close acts on.
bool Widget::canOpen(const QString& name, const QString& path) {
    if (serial_port != nullptr && name == open_name) return true;
    LinePort probe;
    int error = 0;
    const char* failedCall = "open";
    if (probe.open(path, 0, &error, &failedCall)) {
        probe.close();
        left_out.erase(path);
        return true;
    }
    noteLeftOut(path, refusal(path, error, failedCall));
    return false;
}

void Widget::noteLeftOut(const QString& path, const QString& line) {
    auto [entry, fresh] = left_out.emplace(path, line);
    if (fresh || entry->second != line) {
        entry->second = line;
        appendLine(line);
    }
}

// Names of the listed ports that can be opened right now (the machine's,
// then the virtual ones); a port open elsewhere (or by this window) is left out.
QStringList Widget::openablePortNames(bool logDetails) {
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (logDetails) {
            qCDebug(lcTriskPorts).noquote() << QStringLiteral("Name        : ") + info.portName();
            qCDebug(lcTriskPorts).noquote() << QStringLiteral("Description : ") + info.description();
            qCDebug(lcTriskPorts).noquote() << QStringLiteral("Manufacturer: ") + info.manufacturer();
        }
        const QString path = info.systemLocation();
        if (canOpen(info.portName(), path.isEmpty() ? QStringLiteral("/dev/") + info.portName() : path))
            names << info.portName();
    }
    for (const QString& path : virtualPortNames())
        if (canOpen(path, path)) names << path;
    return names;
}

// The machine's ports and the virtual ones, open or not: the refresh and the
// constructor must count alike, or the first tick rebuilds a list that did
// not change.
int Widget::listedPortCount() {
    return static_cast<int>(QSerialPortInfo::availablePorts().size() + virtualPortNames().size());
}

// Rebuilt only when the number of ports changes; an open port stays open.
void Widget::updatePortCom() {
    const int n = listedPortCount();
    if (n == port_count) return;
    fillPortList(openablePortNames(false));
    syncRunControls();  // the lists stay locked while the port is open
    port_count = n;
}

// Each entry shows the port's name and keeps what opens it; the box grows to
// the longest name. The open port stays selected, else the user's choice
// while it is listed.
void Widget::fillPortList(const QStringList& names) {
    QComboBox* box = ui->comboBoxPort;
    const QString chosen = serial_port != nullptr ? open_name : chosenPort();
    box->clear();
    const QFontMetrics metrics(box->font());
    int widest = 0;
    for (const QString& name : names) {
        box->addItem(shownName(name), name);
        box->setItemData(box->count() - 1, deviceToolTip(name), Qt::ToolTipRole);
        widest = std::max(widest, metrics.horizontalAdvance(shownName(name)));
    }
    if (const int kept = names.indexOf(chosen); kept >= 0) box->setCurrentIndex(kept);
    // Room for the frame and the arrow besides the text; the form grows with it.
    QStyleOptionComboBox option;
    option.initFrom(box);
    const QSize room = box->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(widest, 1), box);
    box->setMinimumWidth(names.isEmpty() ? 0 : room.width());
}

// What opens the selected entry: its port, or its text for an entry put
// there without one.
QString Widget::chosenPort() const {
    const QString port = ui->comboBoxPort->currentData().toString();
    return port.isEmpty() ? ui->comboBoxPort->currentText() : port;
}

void Widget::on_BtnOpen_clicked() {
    if (port_open) {
        closePort();
        showClosedState();
        return;
    }
    const QString name = chosenPort();
    QString error;
    if (!openPort(name, ui->comboBoxBaudRate->currentText().toInt(), &error)) {
        showBox(QMessageBox::Warning, tr("OPEN COM"),
                tr("can't open the port %1: %2").arg(ui->comboBoxPort->currentText(), error), QMessageBox::Ok,
                "openRefusal");
        return;
    }
    read_timer->start(kReadPollMs);
    ui->BtnOpen->setText(QStringLiteral("CLOSE"));
    port_open = true;
    open_shown = ui->comboBoxPort->currentText();
    run_shown = false;  // the bar told of another gimbal
    syncRunControls();
}

bool Widget::openPort(const QString& name, qint32 baud, QString* error) {
    if (name.isEmpty()) {
        *error = tr("no serial port chosen");
        return false;
    }
    const QString path = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    auto* port = new LinePort(this);
    int code = 0;
    const char* failedCall = "open";
    // The open leaves the line raw with both queues flushed, so nothing that
    // came in before (echoed by a cooked line) reaches the parser or the gimbal.
    if (!port->open(path, baud, &code, &failedCall)) {
        *error = refusal(path, code, failedCall);
        delete port;
        return false;
    }
    if (!port->keptLockFile().empty())
        appendLine(QString::fromStdString(gimbal::keptLockFileText(port->keptLockFile(), path.toStdString())));
    // Cuts a USB adapter's 16 ms hold on every reply; a pty refuses, which is fine.
    low_latency_at_open = gimbal::requestLowLatency(port->handle());
    connect(port, &LinePort::lost, this, &Widget::portLost);
    serial_port = port;
    open_name = name;
    return true;
}

// Safe from inside one of the port's own signals: it is released later.
void Widget::closePort() {
    LinePort* port = std::exchange(serial_port, nullptr);
    if (port == nullptr) return;
    disconnect(port, nullptr, this, nullptr);
    // The driver keeps the setting after the close; a pulled adapter refuses quietly.
    gimbal::restoreLowLatency(port->handle(), std::exchange(low_latency_at_open, gimbal::LowLatency::Refused));
    port->close();
    port->deleteLater();
}

void Widget::stopForExit() {
    send_state = kIdle;
    resend_len = 0;
    closePort();
    showClosedState();
}

void Widget::showClosedState() {
    read_timer->stop();
    ui->BtnOpen->setText(QStringLiteral("OPEN"));
    port_open = false;
    ui->textBrowser->clear();
    syncRunControls();
}

// A port that hung up (adapter pulled out, pty master closed) is closed at
// once, so the user sees one message, naming the port as the list did, and
// the window is back in its closed state. A run cannot go on without the
// port: it ends here, rather than in a second box about a slave that never
// answered.
void Widget::portLost(const QString& why) {
    if (serial_port == nullptr) return;
    const QString name = open_shown;
    QString stopped;
    if (send_state != kIdle) {
        stopped = tr("\n\nThe update stopped at %1; the gimbal stays half written until it is updated again.")
                      .arg(runPlace());
        send_state = kIdle;
        resend_len = 0;
    }
    closePort();
    showClosedState();
    showBox(QMessageBox::Warning, tr("OPEN COM"), tr("the port %1 was lost: %2").arg(name, why) + stopped);
}

void Widget::updataSerialData() {
    if (serial_port == nullptr) return;
    std::array<char, kReadChunk> chunk;
    const qint64 n = serial_port->read(chunk.data(), chunk.size());
    for (qint64 i = 0; i < n; ++i) parse(static_cast<quint8>(chunk[static_cast<std::size_t>(i)]));
}

// Frames built while no port is open (the sequencer keeps running after a
// close) are dropped here.
void Widget::writeToPort(const quint8* data, std::size_t len) {
    if (serial_port == nullptr || !serial_port->isOpen() || len == 0) return;
    serial_port->write(reinterpret_cast<const char*>(data), static_cast<qint64>(len));
}

}  // namespace trisk
