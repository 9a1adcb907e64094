// The port list's tooltip for one port: its device path, the USB adapter
// behind it, and why this user cannot open it now, if that is so. Found
// without opening the device, as quenlo-flash --list finds it.
#pragma once

#include <QString>

#include "link/port_diagnosis.h"

namespace serial {
class KivSerialPort;
}

namespace app {

QString portToolTip(const serial::KivSerialPort& port);
// The text itself, from facts already found; `usb` may be empty.
QString portToolTipText(const std::string& path, const std::string& usb, const gimbal::PortDiagnosis& diagnosis);

}  // namespace app
