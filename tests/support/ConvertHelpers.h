#pragma once
// Helpers of the converter suites: synthetic measurements written as files,
// fotonel-convert run as its own process, and two export folders compared.
#include "support/Files.h"
#include "tools/synth/DiffusionSimulator.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

/// \p plan as a PicoHarp T3 image scan in \p path, its folder made first.
inline bool WriteImagePt3(const QString &path, const synth::ImageScanPlan &plan)
{
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, plan.width, plan.height};
    return QDir().mkpath(QFileInfo(path).path()) && synth::WritePt3(path, header, synth::MakeImageScan(plan).words);
}

/// 0.4 s of molecules diffusing through the focus (tauD 0.39 ms), two channels, in \p path.
inline bool WriteDiffusion(const QString &path)
{
    synth::DiffusionPlan plan;
    plan.brightness = 300e3;
    plan.step = 20e-6;
    plan.seed = 3;
    static const std::vector<uint32_t> words = synth::SimulateDiffusion(plan, 200000).words;
    return QDir().mkpath(QFileInfo(path).path()) && synth::WritePt3(path, synth::Pt3Header(), words);
}

/// The converter as its own process; code -1 when it did not end normally.
struct ProcessRun {
    int code;
    QString out;
    QByteArray err;
};

/// A QProcess whose child writes files of at most sizeLimit bytes (EFBIG beyond, SIGXFSZ ignored).
class LimitedProcess : public QProcess {
public:
    rlim_t sizeLimit = RLIM_INFINITY;

protected:
    void setupChildProcess() override
    {
        const struct rlimit limit = {sizeLimit, sizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
    }
};

inline ProcessRun RunProcess(const QStringList &args, rlim_t sizeLimit = RLIM_INFINITY)
{
    LimitedProcess run;
    run.sizeLimit = sizeLimit;
    run.start(QStringLiteral(FOTONEL_CONVERT), args);
    const bool ended = run.waitForFinished(60000) && run.exitStatus() == QProcess::NormalExit;
    return {ended ? run.exitCode() : -1, QString::fromUtf8(run.readAllStandardOutput()), run.readAllStandardError()};
}

/// Expects the export folders \p win and \p cli to hold the same files with the same bytes, each file
/// non-empty; the path of \p win's parent is read as \p cli's (a macro or header names its own folder).
/// Returns the names.
inline QStringList ExpectSameFiles(const QString &win, const QString &cli)
{
    const QStringList names = QDir(win).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(names, QDir(cli).entryList(QDir::Files, QDir::Name));
    const QByteArray winParent = QFile::encodeName(QFileInfo(win).path() + "/");
    const QByteArray cliParent = QFile::encodeName(QFileInfo(cli).path() + "/");
    for (const QString &name : names) {
        const QByteArray bytes = ReadAll(win + "/" + name).replace(winParent, cliParent);
        EXPECT_TRUE(!bytes.isEmpty() && bytes == ReadAll(cli + "/" + name)) << name.toStdString();
    }
    return names;
}
