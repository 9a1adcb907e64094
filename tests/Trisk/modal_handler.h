// Answers the window's modal boxes and file dialogs as a user would (a click
// on OK, a file chosen or the dialog cancelled) and remembers what it saw.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <vector>

namespace trisk_test {

class ModalHandler {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        bool rich = false;  // its text would be read as markup
    };

    ModalHandler();

    // The answer to the next file dialogs; an empty path cancels them.
    void chooseFile(const QString& path) { file_ = path; }
    // The answer to the next Yes/No questions ("No" until told otherwise).
    void answerQuestions(QMessageBox::StandardButton answer) { answer_ = answer; }

    const std::vector<Box>& boxes() const { return boxes_; }
    void clear() { boxes_.clear(); }
    std::size_t fileDialogs() const { return fileDialogs_; }
    QStringList texts() const;

private:
    void poll();

    QTimer timer_;
    QString file_;
    QMessageBox::StandardButton answer_ = QMessageBox::No;
    QPointer<QWidget> counted_;  // the file dialog already counted
    std::vector<Box> boxes_;
    std::size_t fileDialogs_ = 0;
};

}  // namespace trisk_test
