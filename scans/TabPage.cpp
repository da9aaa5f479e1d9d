#include "scans/TabPage.h"

#include <QGridLayout>
#include <QWidget>

TabPage TabPage::Make(const QString &pageName, const QString &layoutName)
{
    auto *page = new QWidget;
    page->setObjectName(pageName);
    auto *grid = new QGridLayout(page);
    grid->setObjectName(layoutName);
    grid->setSpacing(6);
    return {page, grid};
}
