// The window's layout: labelled rows for the port, the rate and the file,
// the Start button, then the status line and the progress bar.
#include "upgrader/app/controls.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "upgrader/app/port_tool_tip.h"

#include <algorithm>
#include <cmath>

namespace app {

FractionProgressBar::FractionProgressBar(QWidget* parent) : QProgressBar(parent) {
    setRange(0, kSteps);
    setValue(0);
    setTextVisible(true);
    setFormat(QStringLiteral("%p%"));
}

void FractionProgressBar::setMinValue(double value) {
    min_ = value;
    apply();
}

void FractionProgressBar::setMaxValue(double value) {
    max_ = value;
    apply();
}

void FractionProgressBar::setDoubleValue(double value) {
    value_ = value;
    apply();
}

void FractionProgressBar::apply() {
    const double span = max_ - min_;
    double fraction = span > 0.0 && std::isfinite(value_) ? (value_ - min_) / span : 0.0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    setValue(static_cast<int>(std::lround(fraction * kSteps)));
}

namespace {

template <typename Control>
Control* named(Control* control, const char* name) {
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

QHBoxLayout* row(QWidget* first, QWidget* second) {
    auto* layout = new QHBoxLayout;
    layout->addWidget(first, 1);
    layout->addWidget(second);
    return layout;
}

}  // namespace

QuenloControls loadQuenloControls(QWidget* view) {
    QuenloControls c;
    c.portSelector = named(new QComboBox(view), "portSelector");
    c.boundsRateSelector = named(new QComboBox(view), "boundsRateSelector");
    c.tf_filepath = named(new QLineEdit(view), "tf_filepath");
    c.bt_OpenPort = named(new QPushButton(QObject::tr("Open"), view), "bt_OpenPort");
    c.bt_FileBrowser = named(new QPushButton(QObject::tr("Browse…"), view), "bt_FileBrowser");
    c.bt_StartUpgrade = named(new QPushButton(QObject::tr("Start"), view), "bt_StartUpgrade");
    c.lb_Status = named(new QLabel(QObject::tr("Choose a port and press Open."), view), "lb_Status");
    c.pgb_UpgradeProgress = named(new FractionProgressBar(view), "pgb_UpgradeProgress");

    c.portSelector->setModel(new PortListModel(c.portSelector));
    c.portSelector->setMinimumContentsLength(16);
    c.portSelector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c.tf_filepath->setReadOnly(true);
    c.tf_filepath->setPlaceholderText(QObject::tr("No firmware file chosen"));
    c.lb_Status->setTextFormat(Qt::PlainText);  // it shows paths, lock holders and the gimbal's texts
    c.lb_Status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    c.lb_Status->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(QObject::tr("Serial port:"), row(c.portSelector, c.bt_OpenPort));
    form->addRow(QObject::tr("Baud rate:"), c.boundsRateSelector);
    form->addRow(QObject::tr("Firmware:"), row(c.tf_filepath, c.bt_FileBrowser));

    auto* start = new QHBoxLayout;
    start->addStretch(1);
    start->addWidget(c.bt_StartUpgrade);

    auto* layout = new QVBoxLayout(view);
    layout->addLayout(form);
    layout->addLayout(start);
    layout->addWidget(c.lb_Status);
    layout->addWidget(c.pgb_UpgradeProgress);
    layout->addStretch(1);
    view->setMinimumSize(460, 220);
    return c;
}

}  // namespace app
