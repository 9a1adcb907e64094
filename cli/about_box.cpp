#include "cli/about_box.h"

#include <QMessageBox>
#include <QtGlobal>

#include "cli/info_options.h"

namespace cli {

QString aboutText(const QString& program, const QString& purpose) {
    return QObject::tr("%1\n%2\n\nQt %3\nLicence: MIT")
        .arg(QString::fromStdString(versionLine(program.toStdString())), purpose, QString::fromLatin1(qVersion()));
}

void showAboutBox(QWidget* parent, const QString& program, const QString& purpose) {
    QMessageBox box(QMessageBox::Information, QObject::tr("About %1").arg(program), aboutText(program, purpose),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace cli
