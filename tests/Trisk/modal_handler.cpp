#include "modal_handler.h"

#include <QTextDocument>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace trisk_test {

ModalHandler::ModalHandler() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
}

QStringList ModalHandler::texts() const {
    QStringList out;
    for (const Box& box : boxes_) out << box.text;
    return out;
}

// Acts on whatever modal is showing; a dialog that did not close is simply
// met again on the next poll.
void ModalHandler::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        Box seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.defaultButton = box->standardButton(box->defaultButton());
        seen.rich = box->textFormat() == Qt::RichText ||
                    (box->textFormat() == Qt::AutoText && Qt::mightBeRichText(box->text()));
        boxes_.push_back(seen);
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        if (box->button(QMessageBox::Yes) != nullptr) ok = box->button(answer_);
        if (ok == nullptr && !box->buttons().isEmpty()) ok = box->buttons().first();
        if (ok != nullptr)
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        if (dialog != counted_) ++fileDialogs_;
        counted_ = dialog;
        if (file_.isEmpty()) {
            dialog->reject();
            return;
        }
        // Typed into the name field, as a user would: selectFile() leaves that
        // field alone once it has the focus.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return;
        name->setText(file_);
        QTest::keyClick(name, Qt::Key_Return);
    }
}

}  // namespace trisk_test
