#pragma once
/*!
 * \brief The main window under test: the one QApplication of the test
 * program (offscreen) and a Fotonel built in an empty temporary working
 * directory, so lastsettings.dat is read and written there.
 */
#include "app/Fotonel.h"
#include "support/Files.h"
#include "support/QtAppEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QUrl>
#include <gtest/gtest.h>
#include <memory>

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void TearDown() override
    {
        window.reset();
        QDir::setCurrent(previous);
    }
    Fotonel &Make()
    {
        window = std::make_unique<Fotonel>();
        return *window;
    }
    template <class T> T *W(const QString &name)
    {
        T *widget = window->findChild<T *>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    /// Calls a slot of the window by name, as a click or a menu would.
    void Invoke(const char *slot) { QMetaObject::invokeMethod(window.get(), slot); }
    /// Writes \p bytes into the working directory and returns the path.
    QString WriteFile(const QString &name, const QByteArray &bytes)
    {
        EXPECT_TRUE(WriteAll(dir.filePath(name), bytes)) << name.toStdString();
        return dir.filePath(name);
    }
    QByteArray ReadFile(const QString &name) { return ReadAll(dir.filePath(name)); }
    /// Drags \p data over the window and, when accepted and \p drop is set, drops it.
    bool DragAndDrop(const QMimeData &data, bool drop = true)
    {
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        if (enter.isAccepted() && drop) {
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &event);
        }
        return enter.isAccepted();
    }
    bool DropUrls(const QList<QUrl> &urls)
    {
        QMimeData data;
        data.setUrls(urls);
        return DragAndDrop(data);
    }
    /// Non-empty lines of the message log as plain text.
    QStringList Log()
    {
        QStringList lines = W<QTextBrowser>("textBrowser")->toPlainText().split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

    QTemporaryDir dir;
    QString previous;
    std::unique_ptr<Fotonel> window;
};
