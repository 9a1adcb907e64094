// Window construction and wiring. The frames, the file check, the sequencer
// and the port handling live in widget_*.cpp next to this file.
#include "widget.h"

#include <QColor>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QPixmap>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTimer>

#include "cli/about_box.h"
#include "ui_widget.h"

namespace trisk {

namespace {

constexpr int kPortRefreshMs = 1000;
constexpr int kSequencerTickMs = 100;

}  // namespace

Widget::Widget(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::Widget>()) {
    ui->setupUi(this);  // also connects the button slots by name
    ui->comboBoxBaudRate->setCurrentIndex(19);
    setWindowTitle(QStringLiteral("UPDATE_FOR_3AXIS"));
    setWindowIcon(QIcon(QPixmap(QStringLiteral(":/image/1192349.gif"))));
    ui->textBrowser->setTextColor(QColor(Qt::blue));

    // As wide as the longest name it holds: ports must be told apart.
    ui->comboBoxPort->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ui->comboBoxPort->setMinimumContentsLength(7);  // "ttyUSB0" whole
    progress = new QProgressBar(this);
    progress->setObjectName(QStringLiteral("progressBar"));
    progress->setRange(0, 1);
    progress->setValue(0);
    ui->verticalLayout_2->addWidget(progress);
    fillPortList(openablePortNames(true));
    port_count = listedPortCount();

    // Both run for the life of the window, port open or not.
    auto* refresh = new QTimer(this);
    refresh->setInterval(kPortRefreshMs);
    connect(refresh, &QTimer::timeout, this, &Widget::updatePortCom);
    refresh->start();
    auto* tick = new QTimer(this);
    tick->setInterval(kSequencerTickMs);
    connect(tick, &QTimer::timeout, this, &Widget::sendUpdateFile);
    tick->start();

    read_timer = new QTimer(this);
    connect(read_timer, &QTimer::timeout, this, &Widget::updataSerialData);

    ui->BtnOpenFile->setEnabled(false);
    ui->BtnUpdate->setEnabled(false);
    port_open = false;
    gimbal::configureLinkCrc(crc);
    // A slave acknowledgement may set up image 2 before any run has started.
    file_header = file_buf.data();
    block_ptr = file_buf.data();
}

// The timers and the file object are children of the window and go with it.
// The port is closed first: its close may report an error, and that must not
// reach a window whose members are already gone.
Widget::~Widget() {
    closePort();
}

int Widget::showBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                    QMessageBox::StandardButtons buttons, const char* objectName) {
    QMessageBox box(icon, title, text, buttons, this);
    box.setTextFormat(Qt::PlainText);
    if (buttons & QMessageBox::No) {  // a question: Enter or Escape answer No
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
    }
    if (objectName != nullptr) box.setObjectName(QString::fromLatin1(objectName));
    return box.exec();
}

void Widget::on_BtnAbout_clicked() {
    cli::showAboutBox(this, QStringLiteral("Trisk"), tr("Updates a three-axis gimbal's firmware over a serial port."));
}

void Widget::showText(const QString& text) {
    ui->textBrowser->setPlainText(text);
}

void Widget::appendLine(const QString& line) {
    QTextBrowser* view = ui->textBrowser;
    if (view->document()->isEmpty()) {
        view->setPlainText(line);
        return;
    }
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.insertText(line, view->currentCharFormat());
}

}  // namespace trisk
