// The window's controls and their layout: what an interface description
// would hold. The controller is handed the eight controls ready made and
// only wires them; their captions here are the ones shown before the
// controller or the upgrade changes them.
#pragma once

#include <QProgressBar>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace app {

// A progress bar over a double range (0.0 to 1.0 here) that shows the
// fraction as a percentage.
class FractionProgressBar : public QProgressBar {
public:
    explicit FractionProgressBar(QWidget* parent = nullptr);
    void setMinValue(double value);
    void setMaxValue(double value);
    void setDoubleValue(double value);
    double doubleValue() const { return value_; }

private:
    void apply();
    static constexpr int kSteps = 10000;
    double min_ = 0.0;
    double max_ = 1.0;
    double value_ = 0.0;
};

struct QuenloControls {
    QComboBox* portSelector = nullptr;
    QComboBox* boundsRateSelector = nullptr;
    QLineEdit* tf_filepath = nullptr;
    QPushButton* bt_OpenPort = nullptr;
    QPushButton* bt_FileBrowser = nullptr;
    QPushButton* bt_StartUpgrade = nullptr;
    QLabel* lb_Status = nullptr;
    FractionProgressBar* pgb_UpgradeProgress = nullptr;
};

// Builds the controls inside `view` (which owns them) and lays them out.
QuenloControls loadQuenloControls(QWidget* view);

}  // namespace app
