#pragma once
/*!
 * \brief The main window under test: the one QApplication of the test
 * program (offscreen) and a Fotonel built in an empty temporary working
 * directory, so lastsettings.dat is read and written there.
 */
#include "app/Fotonel.h"

#include <QApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <gtest/gtest.h>
#include <memory>

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fotonel-tests";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }

private:
    std::unique_ptr<QApplication> app;
};

// Registered once per test program, before main runs.
inline ::testing::Environment *const qtAppEnvironment = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

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
    template <class T> T *W(const char *name)
    {
        T *widget = window->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
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
