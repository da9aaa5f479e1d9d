#include "app/Fotonel.h"

#include "ui_Fotonel.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

QString Fotonel::MessageHtml(unsigned int number, int level, const QString &text)
{
    // Four digits at least; longer numbers are shown in full.
    const QString padded = QStringLiteral("%1").arg(number, 4, 10, QLatin1Char('0'));
    QString line;
    switch (level) {
    case MessageNormal:
        line = QStringLiteral("<span style=\"background-color: #EEEEEE; color:#666666;\">%1 :</span> "
                              "<span style=\"color:#005500;\">%2</span><br>");
        break;
    case MessageError:
        line = QStringLiteral("<span style=\"background-color: #EEEEEE; color:#666666;\">%1 :</span> "
                              "<span style=\"color:#FF0000;\">error : %2</span><br>");
        break;
    case MessageWarning:
        line = QStringLiteral("<span style=\"background-color: #EEEEEE; color:#666666;\">%1 :</span> "
                              "<span style=\"color:#fe6000;\">warning : %2</span><br>");
        break;
    default:
        line = QStringLiteral("<span style=\"background-color: #EEEEEE; color:#666666;\">%1 :</span> "
                              "<span style=\"color:#000000;\">%2</span><br>");
        break;
    }
    // Filled one after the other so that a "%2" inside the message text is
    // not taken for a placeholder; the text is inserted as markup on purpose.
    return line.arg(padded).arg(text);
}

QString Fotonel::PaneHtml(const QString &text)
{
    // Line breaks first, so the breaks inserted keep their own space-free form.
    QString html = text;
    html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    html.replace(QLatin1Char(' '), QStringLiteral("&nbsp;"));
    return html;
}

void Fotonel::AddMessage(int level, const QString &text)
{
    ++messageCount;
    // One block per line, so the document can drop the oldest lines once it
    // holds kLogLines of them and an append costs the same at any length
    // (lines joined by breaks inside one block would be laid out anew each
    // time). The block ends the line where the break did.
    QTextDocument *log = ui->textBrowser->document();
    log->setMaximumBlockCount(kLogLines);
    QString html = MessageHtml(messageCount, level, text);
    html.chop(4);  // "<br>"
    QTextCursor end(log);
    end.movePosition(QTextCursor::End);
    if (!log->isEmpty())
        end.insertBlock();
    end.insertHtml(html);
    QScrollBar *bar = ui->textBrowser->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void Fotonel::AddSummaryText(const QString &text)
{
    ui->SummaryBrowser->setStyleSheet(QStringLiteral("font-family:courier"));
    ui->SummaryBrowser->moveCursor(QTextCursor::End);
    ui->SummaryBrowser->insertHtml(PaneHtml(text));
}

void Fotonel::AddHeaderText(const QString &text)
{
    ui->textBrowser_2->setStyleSheet(QStringLiteral("font-family:courier"));
    // Appended at the end, not at the cursor: the cursor was left at the top
    // by the previous call, and a click into the pane moves it too.
    ui->textBrowser_2->moveCursor(QTextCursor::End);
    ui->textBrowser_2->insertHtml(PaneHtml(text));
    ui->textBrowser_2->moveCursor(QTextCursor::Start);
}

void Fotonel::on_actionClear_message_box_triggered()
{
    ui->textBrowser->clear();
    messageCount = 0;
}
