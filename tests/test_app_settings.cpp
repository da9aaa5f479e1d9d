// The settings file lastsettings.dat: what the window reads at start-up and
// writes at exit, byte for byte.
#include "app/Fotonel.h"

#include "support/WindowFixture.h"

#include <gtest/gtest.h>

#include <QDoubleSpinBox>

namespace {

using SettingsTest = WindowFixture;

} // namespace

TEST(SettingsNumber, WrittenAsAStandardStreamWritesDoubles)
{
    const std::pair<double, const char *> cases[] = {{50, "50"},           {12.5, "12.5"},
                                                     {0.00001, "1e-05"},   {0, "0"},
                                                     {99.99, "99.99"},     {0.0123456789, "0.0123457"},
                                                     {1234567, "1.23457e+06"}};
    for (const auto &c : cases)
        EXPECT_EQ(Fotonel::SettingsNumber(c.first), c.second);
}

TEST_F(SettingsTest, MissingFileWarnsAndDefaultsAreWrittenAtExit)
{
    Make();
    EXPECT_EQ(Log(), QStringList({"0001 : warning : could not open lastsettings.dat"}));
    window.reset();
    EXPECT_EQ(ReadFile("lastsettings.dat"), "opendir = .\n"
                                            "savedir = .\n"
                                            "Ch1GatingMin = 0\nCh1GatingMax = 50\n"
                                            "Ch2GatingMin = 0\nCh2GatingMax = 50\n"
                                            "Ch3GatingMin = 0\nCh3GatingMax = 50\n"
                                            "Ch4GatingMin = 0\nCh4GatingMax = 50\n");
}

TEST_F(SettingsTest, SavedValuesComeBackByteForByte)
{
    const QByteArray saved = "opendir = /data/run 7\n"
                             "savedir = /data/out\n"
                             "Ch1GatingMin = 1.5\nCh1GatingMax = 12.5\n"
                             "Ch2GatingMin = 2\nCh2GatingMax = 20\n"
                             "Ch3GatingMin = 3\nCh3GatingMax = 30\n"
                             "Ch4GatingMin = 4.25\nCh4GatingMax = 40\n";
    WriteFile("lastsettings.dat", saved);
    Make();
    EXPECT_EQ(Log(), QStringList({"0001 : opendir /data/run 7", "0002 : savedir /data/out"}));
    EXPECT_EQ(W<QDoubleSpinBox>("Ch1_Gating_Min")->value(), 1.5);
    EXPECT_EQ(W<QDoubleSpinBox>("Ch4_Gating_Max")->value(), 40);
    window.reset();
    EXPECT_EQ(ReadFile("lastsettings.dat"), saved);
}

TEST_F(SettingsTest, HowLinesAreRead)
{
    struct {
        const char *what;
        QByteArray file;
        QString openDir, saveDir;
        QStringList log;
        std::vector<std::pair<const char *, double>> boxes;
    } const cases[] = {
        {"path with a space is taken whole", "opendir = /my data\n", "/my data", ".", {"0001 : opendir /my data"},
         {{"Ch2_Gating_Max", 50}}},
        {"lines without a separate equals sign are ignored",
         "opendir=/data\nsavedir =/out\nCh1GatingMax : 20\n\n   \nrandom words here\n", ".", ".", {},
         {{"Ch1_Gating_Max", 50}}},
        {"later duplicate wins, keys are case sensitive",
         "opendir = /first\nOPENDIR = /upper\nopendir = /second\nCh3GatingMax = 30\nCh3GatingMax = 31\n", "/second",
         ".", {"0001 : opendir /first", "0002 : opendir /second"}, {{"Ch3_Gating_Max", 31}}},
        // The minimum comes first and meets the default maximum of 50.
        {"minimum limited by the maximum of that moment", "Ch1GatingMin = 60\nCh1GatingMax = 80\n", ".", ".", {},
         {{"Ch1_Gating_Min", 50}, {"Ch1_Gating_Max", 80}}},
        {"clamped and rounded to the form, not a number is 0",
         "Ch2GatingMax = 120\nCh3GatingMin = 1.236\nCh4GatingMax = fifty\n", ".", ".", {},
         {{"Ch2_Gating_Max", 99.99}, {"Ch3_Gating_Min", 1.24}, {"Ch4_Gating_Max", 0}, {"Ch4_Gating_Min", 0}}},
        {"Windows line ends and surrounding blanks are trimmed",
         "opendir =   C:/data/run 1  \r\n\tsavedir\t=\tD:/x\r\nCh1GatingMax = 25\r\n", "C:/data/run 1", "D:/x",
         {"0001 : opendir C:/data/run 1", "0002 : savedir D:/x"}, {{"Ch1_Gating_Max", 25}}},
        {"overlong line is skipped, the rest is read", "opendir = /" + QByteArray(200000, 'a') + "\nsavedir = /kept\n",
         ".", "/kept", {"0001 : savedir /kept"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("lastsettings.dat", c.file);
        Make();
        EXPECT_EQ(window->openDir, c.openDir);
        EXPECT_EQ(window->saveDir, c.saveDir);
        EXPECT_EQ(Log(), c.log);
        for (const auto &box : c.boxes)
            EXPECT_EQ(W<QDoubleSpinBox>(box.first)->value(), box.second) << box.first;
        window.reset();
    }
}

TEST_F(SettingsTest, UnwritableFileWarnsAndGoesOn)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("lastsettings.dat")); // a folder cannot be opened for writing
    Make();
    EXPECT_FALSE(window->SaveSettings("lastsettings.dat"));
    EXPECT_EQ(Log().last(), "0002 : warning : opening lastsettings.dat");
}
