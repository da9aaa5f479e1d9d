#pragma once
/*!
 * \brief The Lifetime group of the image scan page: phasor harmonic,
 * reference file and its lifetime, photon threshold, median filter passes,
 * decay fit components, instrument response file, fit map binning, which
 * results to make, and the Lifetimes button.
 *
 * Analyses never see the widgets: the host turns them into one
 * flim::Settings per command. The converter fills them from its options
 * with SetSettings, so both read the same values the same way.
 */
#include "flim/FlimSettings.h"

#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

class LifetimeGroup : public QGroupBox {
    Q_OBJECT

public:
    explicit LifetimeGroup(QWidget *parent = nullptr);

    flim::Settings Settings() const;
    void SetSettings(const flim::Settings &settings);

    QCheckBox *phasors = nullptr;     ///< phasors and their lifetime maps
    QCheckBox *fits = nullptr;        ///< the decay fit and the fit map
    QSpinBox *harmonic = nullptr;
    QLineEdit *reference = nullptr;   ///< empty: uncalibrated
    QDoubleSpinBox *referenceTau = nullptr;  ///< ns
    QSpinBox *threshold = nullptr;    ///< photons
    QSpinBox *median = nullptr;       ///< passes
    QSpinBox *components = nullptr;
    QLineEdit *irf = nullptr;         ///< empty: a fitted Gaussian
    QComboBox *binning = nullptr;     ///< 1 x 1, 3 x 3, 5 x 5
    QPushButton *lifetimeButton = nullptr;
};
