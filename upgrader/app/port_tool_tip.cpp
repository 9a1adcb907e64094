#include "upgrader/app/port_tool_tip.h"

#include <QComboBox>
#include <QObject>
#include <QStringList>
#include <QTextDocument>

#include <filesystem>

#include "upgrader/flash/port_list.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace app {

namespace {

// "FTDI FT232R USB UART (0403:6001)"; empty for a port not on USB.
std::string usbDescription(const std::string& path) {
    flash::ListedPort facts;
    flash::addDeviceFacts(facts, "/sys/class/tty/" + std::filesystem::path(path).filename().string());
    if (facts.usbId.empty()) return {};
    std::string text = facts.manufacturer;
    if (!facts.product.empty()) text += (text.empty() ? "" : " ") + facts.product;
    return (text.empty() ? "USB adapter" : text) + " (" + facts.usbId + ")";
}

}  // namespace

QString portToolTip(const std::string& path) {
    return portToolTipText(path, usbDescription(path), gimbal::diagnosePort(path));
}

QVariant PortListModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::ToolTipRole) {
        const QString path = QStandardItemModel::data(index, kPathRole).toString();
        // Holder names come from lock files: shown as they stand, never as markup.
        if (!path.isEmpty()) return Qt::convertFromPlainText(portToolTip(path.toStdString()), Qt::WhiteSpaceNormal);
    }
    return QStandardItemModel::data(index, role);
}

void addPortEntry(QComboBox& list, const serial::KivSerialPort& port) {
    list.addItem(QString::fromStdString(port.name()));
    list.setItemData(list.count() - 1, QString::fromStdString(port.path()), PortListModel::kPathRole);
}

QString portToolTipText(const std::string& path, const std::string& usb, const gimbal::PortDiagnosis& diagnosis) {
    QStringList lines{QString::fromStdString(path)};
    if (!usb.empty()) lines << QString::fromStdString(usb);
    if (diagnosis.cause != gimbal::PortCause::Usable) {
        lines << QObject::tr("Cannot be opened: %1").arg(QString::fromStdString(diagnosis.text));
        if (!diagnosis.hint.empty()) lines << QObject::tr("Fix: %1").arg(QString::fromStdString(diagnosis.hint));
    } else if (!diagnosis.text.empty()) {
        lines << QString::fromStdString(diagnosis.text);  // open elsewhere, without a lock
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace app
