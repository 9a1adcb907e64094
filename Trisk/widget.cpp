// Window construction and wiring. The frames, the file check, the sequencer
// and the port handling live in widget_*.cpp next to this file.
#include "widget.h"

#include <QColor>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QPixmap>
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

    // A virtual port's full path would widen the whole form: the box keeps a
    // small width, and its list opens as wide as the longest name.
    ui->comboBoxPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ui->comboBoxPort->setMinimumContentsLength(7);  // "ttyUSB0" whole
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
