// The windows' About box: the program's name and version, one line of what
// it does, the Qt it runs on and its licence.
#pragma once

#include <QString>

class QWidget;

namespace cli {

// The box's text, plain: tests read it, the box shows it.
QString aboutText(const QString& program, const QString& purpose);
// Modal; returns when the user has dismissed it.
void showAboutBox(QWidget* parent, const QString& program, const QString& purpose);

}  // namespace cli
