#include "app/LifetimeGroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

LifetimeGroup::LifetimeGroup(QWidget *parent) : QGroupBox(tr("Lifetime"), parent)
{
    setObjectName(QStringLiteral("lifetimeGroup"));
    auto *grid = new QGridLayout(this);
    grid->setSpacing(3);
    int row = 0;
    const auto add = [&](const QString &label, QWidget *w, const char *name) {
        w->setObjectName(QString::fromLatin1(name));
        grid->addWidget(new QLabel(label, this), row, 0);
        grid->addWidget(w, row++, 1);
    };
    phasors = new QCheckBox(tr("Phasors"), this);
    phasors->setObjectName(QStringLiteral("lifetimePhasors"));
    phasors->setChecked(true);
    fits = new QCheckBox(tr("Decay fit"), this);
    fits->setObjectName(QStringLiteral("lifetimeFits"));
    grid->addWidget(phasors, row, 0);
    grid->addWidget(fits, row++, 1);
    harmonic = new QSpinBox(this);
    harmonic->setRange(1, 16);
    add(tr("Harmonic"), harmonic, "lifetimeHarmonic");
    reference = new QLineEdit(this);
    reference->setPlaceholderText(tr("none: uncalibrated"));
    add(tr("Reference file"), reference, "lifetimeReference");
    referenceTau = new QDoubleSpinBox(this);
    referenceTau->setRange(0, 1000);
    referenceTau->setDecimals(3);
    referenceTau->setSuffix(tr(" ns"));
    add(tr("Reference tau"), referenceTau, "lifetimeReferenceTau");
    threshold = new QSpinBox(this);
    threshold->setRange(0, 1000000000);
    add(tr("Threshold (photons)"), threshold, "lifetimeThreshold");
    median = new QSpinBox(this);
    median->setRange(0, 100);
    add(tr("Median 3x3 passes"), median, "lifetimeMedian");
    components = new QSpinBox(this);
    components->setRange(1, 3);
    add(tr("Fit components"), components, "lifetimeComponents");
    irf = new QLineEdit(this);
    irf->setPlaceholderText(tr("none: Gaussian, fitted"));
    add(tr("IRF file"), irf, "lifetimeIrf");
    binning = new QComboBox(this);
    binning->addItems({QStringLiteral("1 x 1"), QStringLiteral("3 x 3"), QStringLiteral("5 x 5")});
    add(tr("Fit map binning"), binning, "lifetimeBinning");
    lifetimeButton = new QPushButton(tr("Lifetimes"), this);
    lifetimeButton->setObjectName(QStringLiteral("lifetimeButton"));
    grid->addWidget(lifetimeButton, row++, 0, 1, 2);
    SetSettings({});
}

flim::Settings LifetimeGroup::Settings() const
{
    flim::Settings s;
    s.harmonic = harmonic->value();
    s.referenceFile = reference->text().trimmed().toStdString();
    s.referenceTau = referenceTau->value();
    s.threshold = threshold->value();
    s.median = median->value();
    s.components = components->value();
    s.irfFile = irf->text().trimmed().toStdString();
    s.binning = 2 * binning->currentIndex() + 1;
    return s;
}

void LifetimeGroup::SetSettings(const flim::Settings &s)
{
    harmonic->setValue(s.harmonic);
    reference->setText(QString::fromStdString(s.referenceFile));
    referenceTau->setValue(s.referenceTau);
    threshold->setValue(s.threshold);
    median->setValue(s.median);
    components->setValue(s.components);
    irf->setText(QString::fromStdString(s.irfFile));
    binning->setCurrentIndex(s.binning >= 5 ? 2 : s.binning >= 3 ? 1 : 0);
}
