// The settings file lastsettings.dat: what the window reads at start-up and
// writes at exit, byte for byte.
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <memory>

namespace {


const char *const Defaults = "opendir = .\n"
                             "savedir = .\n"
                             "Ch1GatingMin = 0\nCh1GatingMax = 50\n"
                             "Ch2GatingMin = 0\nCh2GatingMax = 50\n"
                             "Ch3GatingMin = 0\nCh3GatingMax = 50\n"
                             "Ch4GatingMin = 0\nCh4GatingMax = 50\n";

class SettingsTest : public WindowFixture {
protected:
    void WriteSettings(const QByteArray &bytes)
    {
        QFile out(dir.filePath("lastsettings.dat"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }
    QByteArray ReadSettings()
    {
        QFile in(dir.filePath("lastsettings.dat"));
        if (!in.open(QIODevice::ReadOnly))
            return QByteArray();
        return in.readAll();
    }
    double Value(const char *name)
    {
        auto *box = window->findChild<QDoubleSpinBox *>(QString::fromLatin1(name));
        EXPECT_NE(box, nullptr) << name;
        return box ? box->value() : -1;
    }
};

} // namespace

TEST(SettingsNumber, WrittenAsAStandardStreamWritesDoubles)
{
    EXPECT_EQ(Fotonel::SettingsNumber(50), "50");
    EXPECT_EQ(Fotonel::SettingsNumber(12.5), "12.5");
    EXPECT_EQ(Fotonel::SettingsNumber(0.00001), "1e-05");
    EXPECT_EQ(Fotonel::SettingsNumber(0), "0");
    EXPECT_EQ(Fotonel::SettingsNumber(99.99), "99.99");
    EXPECT_EQ(Fotonel::SettingsNumber(0.0123456789), "0.0123457");
    EXPECT_EQ(Fotonel::SettingsNumber(1234567), "1.23457e+06");
}

TEST_F(SettingsTest, MissingFileWarnsAndKeepsDefaults)
{
    Make();
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat"}));
    EXPECT_EQ(window->openDir, ".");
    EXPECT_EQ(window->saveDir, ".");
    EXPECT_EQ(Value("Ch1_Gating_Min"), 0);
    EXPECT_EQ(Value("Ch4_Gating_Max"), 50);
}

TEST_F(SettingsTest, DefaultsAreWrittenAtExit)
{
    Make();
    window.reset();
    EXPECT_EQ(ReadSettings(), Defaults);
}

TEST_F(SettingsTest, SavedValuesComeBack)
{
    WriteSettings("opendir = /data/run 7\n"
                  "savedir = /data/out\n"
                  "Ch1GatingMin = 1.5\nCh1GatingMax = 12.5\n"
                  "Ch2GatingMin = 2\nCh2GatingMax = 20\n"
                  "Ch3GatingMin = 3\nCh3GatingMax = 30\n"
                  "Ch4GatingMin = 4.25\nCh4GatingMax = 40\n");
    Make();
    EXPECT_EQ(Log(), QStringList({"0001 : opendir /data/run 7", "0002 : savedir /data/out"}));
    EXPECT_EQ(window->openDir, "/data/run 7");
    EXPECT_EQ(window->saveDir, "/data/out");
    EXPECT_EQ(Value("Ch1_Gating_Min"), 1.5);
    EXPECT_EQ(Value("Ch1_Gating_Max"), 12.5);
    EXPECT_EQ(Value("Ch4_Gating_Min"), 4.25);
    EXPECT_EQ(Value("Ch4_Gating_Max"), 40);
    window->SetVersion("0.51");
    EXPECT_EQ(Log().last(), "0003 : Version 0.51");
    window.reset();
    EXPECT_EQ(ReadSettings(), "opendir = /data/run 7\n"
                              "savedir = /data/out\n"
                              "Ch1GatingMin = 1.5\nCh1GatingMax = 12.5\n"
                              "Ch2GatingMin = 2\nCh2GatingMax = 20\n"
                              "Ch3GatingMin = 3\nCh3GatingMax = 30\n"
                              "Ch4GatingMin = 4.25\nCh4GatingMax = 40\n");
}

TEST_F(SettingsTest, PathWithASpaceIsTakenWhole)
{
    WriteSettings("opendir = /my data\n");
    Make();
    EXPECT_EQ(window->openDir, "/my data");
    EXPECT_EQ(window->saveDir, ".");
    EXPECT_EQ(Log(), QStringList({"0001 : opendir /my data"}));
    EXPECT_EQ(Value("Ch2_Gating_Max"), 50);
}

TEST_F(SettingsTest, LinesWithoutASeparateEqualsSignAreIgnored)
{
    WriteSettings("opendir=/data\nsavedir =/out\nCh1GatingMax : 20\n\n   \nrandom words here\n");
    Make();
    EXPECT_EQ(window->openDir, ".");
    EXPECT_EQ(window->saveDir, ".");
    EXPECT_EQ(Value("Ch1_Gating_Max"), 50);
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(SettingsTest, LaterDuplicateWinsAndKeysAreCaseSensitive)
{
    WriteSettings("opendir = /first\nOPENDIR = /upper\nopendir = /second\nCh3GatingMax = 30\nCh3GatingMax = 31\n");
    Make();
    EXPECT_EQ(window->openDir, "/second");
    EXPECT_EQ(Value("Ch3_Gating_Max"), 31);
    EXPECT_EQ(Log(), QStringList({"0001 : opendir /first", "0002 : opendir /second"}));
}

TEST_F(SettingsTest, MinimumIsLimitedByTheMaximumOfThatMoment)
{
    // The minimum comes first and meets the default maximum of 50.
    WriteSettings("Ch1GatingMin = 60\nCh1GatingMax = 80\n");
    Make();
    EXPECT_EQ(Value("Ch1_Gating_Min"), 50);
    EXPECT_EQ(Value("Ch1_Gating_Max"), 80);
}

TEST_F(SettingsTest, ValuesAreClampedAndRoundedToTheFormRange)
{
    WriteSettings("Ch2GatingMax = 120\nCh3GatingMin = 1.236\nCh4GatingMax = fifty\n");
    Make();
    EXPECT_EQ(Value("Ch2_Gating_Max"), 99.99);
    EXPECT_EQ(Value("Ch3_Gating_Min"), 1.24);
    EXPECT_EQ(Value("Ch4_Gating_Max"), 0);  // not a number
    EXPECT_EQ(Value("Ch4_Gating_Min"), 0);
}

TEST_F(SettingsTest, WindowsLineEndsAndSurroundingBlanksAreTrimmed)
{
    WriteSettings("opendir =   C:/data/run 1  \r\n\tsavedir\t=\tD:/x\r\nCh1GatingMax = 25\r\n");
    Make();
    EXPECT_EQ(window->openDir, "C:/data/run 1");
    EXPECT_EQ(window->saveDir, "D:/x");
    EXPECT_EQ(Value("Ch1_Gating_Max"), 25);
}

TEST_F(SettingsTest, OverlongLineIsSkippedAndTheRestIsRead)
{
    WriteSettings("opendir = /" + QByteArray(200000, 'a') + "\nsavedir = /kept\n");
    Make();
    EXPECT_EQ(window->openDir, ".");
    EXPECT_EQ(window->saveDir, "/kept");
}

TEST_F(SettingsTest, UnwritableFileWarnsAndGoesOn)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("lastsettings.dat"));  // a folder cannot be opened for writing
    Make();
    EXPECT_FALSE(window->SaveSettings("lastsettings.dat"));
    EXPECT_EQ(Log().last(), "0002 : warning : opening lastsettings.dat");
}
