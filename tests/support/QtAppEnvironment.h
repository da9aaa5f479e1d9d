#pragma once
/*!
 * \brief The one QApplication of a test program that builds widgets,
 * offscreen unless QT_QPA_PLATFORM says otherwise.
 */
#include <QApplication>
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
