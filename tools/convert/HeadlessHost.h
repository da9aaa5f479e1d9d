#pragma once
/*!
 * \brief Host services without a window, for the command-line converter.
 *
 * The settings form is built but never shown: the analyses read and range
 * the very widgets the window would give them, with the values the options
 * put there. Log lines, the header text and the summary go to a text stream;
 * progress and event processing are no-ops.
 */
#include "app/FormHost.h"

#include <QMainWindow>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <memory>

namespace Ui {
class Fotonel;
}

class HeadlessHost : public FormHost {
public:
    HeadlessHost(QTextStream &out, std::unique_ptr<Ui::Fotonel> form, std::unique_ptr<QMainWindow> window);
    static std::unique_ptr<HeadlessHost> Create(QTextStream &out);
    ~HeadlessHost() override;
    using FotonelServices::AddMessage;

    void AddMessage(int level, const QString &text) override;
    void AddSummaryText(const QString &text) override;
    void AddHeaderText(const QString &text) override;
    void SetProgress(int) override {}
    void ProcessEvents() override {}
    void SetToolBoxPage(int page) override;
    int AddTab(QWidget *page, const QString &label) override;
    void ShowTab(const QString &) override {}
    QString GetVersion() const override;

    Ui::Fotonel &Form() { return *form_; }
    /// Where the converter's own lines (the fit table) go.
    QTextStream &Out() { return out_; }
    /// Lines logged at MessageError since construction.
    int ErrorCount() const { return errors_; }
    /// The texts of the last \p n error lines, oldest first.
    QStringList LastErrors(int n) const { return errorTexts_.mid(std::max(0, int(errorTexts_.size()) - n)); }

private:
    QTextStream &out_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<Ui::Fotonel> form_;
    unsigned messageCount_ = 0;
    int errors_ = 0;
    QStringList errorTexts_;
    int tabs_ = 0;
};
