#pragma once
/*!
 * \brief The Fit group of the point scan page: model, which parameters are
 * free and their start or fixed values, kappa, w0, the lag range, the
 * segments of the error bars, and the Fit button.
 *
 * Analyses never see the widgets: the host turns them into one
 * fcs::FitSettings per command. The converter fills them from its options
 * with SetSettings, so both read the same values the same way.
 */
#include "fcs/FcsSettings.h"

#include <QGroupBox>
#include <array>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

class FitGroup : public QGroupBox {
    Q_OBJECT

public:
    explicit FitGroup(QWidget *parent = nullptr);

    fcs::FitSettings Settings() const;
    void SetSettings(const fcs::FitSettings &settings);

    QComboBox *model = nullptr;
    std::array<QCheckBox *, fcs::ParameterCount> free{};
    /// Start or fixed value; empty: guessed from the curve (Ginf fixed: 1).
    /// kappa has none: the kappa box gives its value.
    std::array<QLineEdit *, fcs::ParameterCount> value{};
    QDoubleSpinBox *kappa = nullptr;
    QDoubleSpinBox *w0 = nullptr;        ///< µm; 0: not given
    QLineEdit *rangeFrom = nullptr;      ///< ms; empty: the first bin
    QLineEdit *rangeTo = nullptr;        ///< ms; empty: the last bin with an error bar
    QSpinBox *segments = nullptr;
    QDoubleSpinBox *rejectFactor = nullptr;  ///< 0: off
    QPushButton *fitButton = nullptr;
};
