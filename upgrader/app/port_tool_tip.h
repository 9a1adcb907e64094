// The port list's tooltip for one port: its device path, the USB adapter
// behind it, and why this user cannot open it now, if that is so. Found
// without opening the device, as quenlo-flash --list finds it.
#pragma once

#include <QStandardItemModel>
#include <QString>

class QComboBox;

#include "link/port_diagnosis.h"

namespace serial {
class KivSerialPort;
}

namespace app {

QString portToolTip(const std::string& path);
// The text itself, from facts already found; `usb` may be empty.
QString portToolTipText(const std::string& path, const std::string& usb, const gimbal::PortDiagnosis& diagnosis);

// The port list's model: each entry keeps its device path and works its tool
// tip out when it is asked for, that is when it is shown, so that it tells
// who holds the port now rather than when the port appeared.
class PortListModel : public QStandardItemModel {
public:
    using QStandardItemModel::QStandardItemModel;
    static constexpr int kPathRole = Qt::UserRole + 1;
    QVariant data(const QModelIndex& index, int role) const override;
};

// Appends `port` to a list that uses PortListModel: its name, its path.
void addPortEntry(QComboBox& list, const serial::KivSerialPort& port);

}  // namespace app
