#include "app/FitGroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <cmath>

namespace {
/// Empty text for NaN; else the number in the general format.
QString Text(double v)
{
    return std::isnan(v) ? QString() : QString::number(v, 'g', 10);
}

double Value(const QLineEdit *edit)
{
    bool ok = false;
    const double v = edit->text().trimmed().toDouble(&ok);
    return ok ? v : std::numeric_limits<double>::quiet_NaN();
}
} // namespace

FitGroup::FitGroup(QWidget *parent) : QGroupBox(tr("Fit"), parent)
{
    setObjectName(QStringLiteral("fitGroup"));
    auto *grid = new QGridLayout(this);
    grid->setSpacing(3);
    int row = 0;
    model = new QComboBox(this);
    model->setObjectName(QStringLiteral("fitModel"));
    for (fcs::Model m : {fcs::Model::Diffusion3D, fcs::Model::Diffusion3DTriplet, fcs::Model::Diffusion2D,
                         fcs::Model::TwoSpecies3D})
        model->addItem(QString::fromLatin1(fcs::ModelName(m)));
    grid->addWidget(new QLabel(tr("Model"), this), row, 0);
    grid->addWidget(model, row++, 1, 1, 2);

    for (std::size_t p = 0; p < fcs::ParameterCount; ++p) {
        const QString name = QString::fromLatin1(fcs::ParameterName(p));
        const QString unit = QString::fromLatin1(fcs::ParameterUnit(p));
        free[p] = new QCheckBox(unit.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, unit), this);
        free[p]->setObjectName(QStringLiteral("fitFree_%1").arg(name));
        free[p]->setToolTip(tr("Checked: fitted from the start value; unchecked: held at the value"));
        grid->addWidget(free[p], row, 0);
        if (p == fcs::Kappa) {
            kappa = new QDoubleSpinBox(this);
            kappa->setObjectName(QStringLiteral("fitKappa"));
            kappa->setRange(0.01, 1000);
            kappa->setDecimals(3);
            grid->addWidget(kappa, row++, 1, 1, 2);
            continue;
        }
        value[p] = new QLineEdit(this);
        value[p]->setObjectName(QStringLiteral("fitValue_%1").arg(name));
        value[p]->setPlaceholderText(tr("auto"));
        grid->addWidget(value[p], row++, 1, 1, 2);
    }
    w0 = new QDoubleSpinBox(this);
    w0->setObjectName(QStringLiteral("fitW0"));
    w0->setRange(0, 100);
    w0->setDecimals(4);
    w0->setSpecialValueText(tr("not given"));
    w0->setSuffix(QStringLiteral(" µm"));
    grid->addWidget(new QLabel(tr("w0"), this), row, 0);
    grid->addWidget(w0, row++, 1, 1, 2);
    rangeFrom = new QLineEdit(this);
    rangeFrom->setObjectName(QStringLiteral("fitRangeFrom"));
    rangeFrom->setPlaceholderText(tr("first"));
    rangeTo = new QLineEdit(this);
    rangeTo->setObjectName(QStringLiteral("fitRangeTo"));
    rangeTo->setPlaceholderText(tr("last"));
    grid->addWidget(new QLabel(tr("Range (ms)"), this), row, 0);
    grid->addWidget(rangeFrom, row, 1);
    grid->addWidget(rangeTo, row++, 2);
    segments = new QSpinBox(this);
    segments->setObjectName(QStringLiteral("fitSegments"));
    segments->setRange(1, 1000);
    segments->setToolTip(tr("Segments of the measurement for the error bars; 1: no error bars"));
    grid->addWidget(new QLabel(tr("Segments"), this), row, 0);
    grid->addWidget(segments, row++, 1, 1, 2);
    rejectFactor = new QDoubleSpinBox(this);
    rejectFactor->setObjectName(QStringLiteral("fitReject"));
    rejectFactor->setRange(0, 1000);
    rejectFactor->setDecimals(2);
    rejectFactor->setSpecialValueText(tr("off"));
    rejectFactor->setToolTip(tr("Leave out segments whose count rate differs from the median by more than this factor"));
    grid->addWidget(new QLabel(tr("Reject rate x"), this), row, 0);
    grid->addWidget(rejectFactor, row++, 1, 1, 2);
    fitButton = new QPushButton(tr("Fit"), this);
    fitButton->setObjectName(QStringLiteral("fitButton"));
    grid->addWidget(fitButton, row++, 0, 1, 3);
    SetSettings({});
}

fcs::FitSettings FitGroup::Settings() const
{
    fcs::FitSettings s;
    s.model = static_cast<fcs::Model>(std::max(0, model->currentIndex()));
    for (std::size_t p = 0; p < fcs::ParameterCount; ++p) {
        s.parameters[p].state = free[p]->isChecked() ? fcs::ParameterSetting::Free : fcs::ParameterSetting::Fixed;
        s.parameters[p].value = value[p] ? Value(value[p]) : kappa->value();
    }
    s.kappa = kappa->value();
    s.w0 = w0->value();
    s.rangeFrom = Value(rangeFrom);
    s.rangeTo = Value(rangeTo);
    s.segments = segments->value();
    s.rejectFactor = rejectFactor->value();
    return s;
}

void FitGroup::SetSettings(const fcs::FitSettings &s)
{
    model->setCurrentIndex(static_cast<int>(s.model));
    for (std::size_t p = 0; p < fcs::ParameterCount; ++p) {
        free[p]->setChecked(s.IsFree(p));
        if (value[p])
            value[p]->setText(Text(s.parameters[p].value));
    }
    kappa->setValue(std::isnan(s.parameters[fcs::Kappa].value) ? s.kappa : s.parameters[fcs::Kappa].value);
    w0->setValue(s.w0);
    rangeFrom->setText(Text(s.rangeFrom));
    rangeTo->setText(Text(s.rangeTo));
    segments->setValue(s.segments);
    rejectFactor->setValue(s.rejectFactor);
}
