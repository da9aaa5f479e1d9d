#include "tools/convert/HeadlessHost.h"

#include "ui_Fotonel.h"

#include <QWidget>

HeadlessHost::HeadlessHost(QTextStream &out, std::unique_ptr<Ui::Fotonel> form,
                           std::unique_ptr<QMainWindow> window)
    : FormHost(*form), out_(out), window_(std::move(window)), form_(std::move(form))
{
}

std::unique_ptr<HeadlessHost> HeadlessHost::Create(QTextStream &out)
{
    auto window = std::make_unique<QMainWindow>();
    auto form = std::make_unique<Ui::Fotonel>();
    form->setupUi(window.get());
    auto host = std::make_unique<HeadlessHost>(out, std::move(form), std::move(window));
    // The start-up values the window's constructor gives its boxes.
    host->controls.SetUpParameterBoxes();
    host->AddFitGroup();
    host->AddLifetimeGroup();
    return host;
}

HeadlessHost::~HeadlessHost() = default;

void HeadlessHost::AddMessage(int level, const QString &text)
{
    ++messageCount_;
    QString number = QString::number(messageCount_);
    if (number.size() < 4)
        number = number.rightJustified(4, QLatin1Char('0'));
    QString prefix;
    switch (level) {
    case MessageError:
        prefix = QStringLiteral("error : ");
        ++errors_;
        errorTexts_ << text;
        break;
    case MessageWarning:
        prefix = QStringLiteral("warning : ");
        break;
    default:
        break;
    }
    out_ << number << " : " << prefix << text << '\n';
    out_.flush();
}

void HeadlessHost::AddSummaryText(const QString &text)
{
    out_ << text;
    if (!text.endsWith(QLatin1Char('\n')))
        out_ << '\n';
    out_.flush();
}

void HeadlessHost::AddHeaderText(const QString &text)
{
    AddSummaryText(text);
}

void HeadlessHost::SetToolBoxPage(int page)
{
    form_->toolBox->setCurrentIndex(page);
}

int HeadlessHost::AddTab(QWidget *page, const QString &)
{
    // Nothing is shown: the page is not needed.
    delete page;
    return tabs_++;
}

QString HeadlessHost::GetVersion() const
{
    return QString::fromLatin1(FotonelVersion);
}
