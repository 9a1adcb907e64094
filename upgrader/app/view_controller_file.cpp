// The firmware file chooser: one ".bin" file, starting in the desktop folder.
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>

#include "upgrader/app/view_controller.h"

namespace {

constexpr char kInvalidFileAlert[] = "Invalid file";

QString startingFolder()
{
    const QStringList desktop = QStandardPaths::standardLocations(QStandardPaths::DesktopLocation);
    return desktop.isEmpty() ? QStringLiteral("~/") : desktop.first();
}

}  // namespace

void ViewController::bt_fileBrowserPressed()
{
    QFileDialog dialog(this, tr("Choose a firmware file"));
    dialog.setObjectName(QStringLiteral("firmwareFileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Firmware images (*.bin)"));
    dialog.setDirectory(startingFolder());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    // A name typed into the dialog gets past its filter; it is refused here.
    const bool isBin = QFileInfo(path).suffix().compare(QStringLiteral("bin"), Qt::CaseInsensitive) == 0;
    if (isBin && engine.getFileInfo(path.toStdString())) {
        tf_filepath->setText(path);
        return;
    }
    showAlert(kInvalidFileAlert);
}
