#pragma once
/// File helpers of the tests: whole files read and written, and writes under a
/// file-size limit as on a full disk.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <csignal>
#include <functional>
#include <sys/resource.h>

/// The bytes of \p name; empty when it cannot be read.
inline QByteArray ReadAll(const QString &name)
{
    QFile in(name);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

/// Writes \p bytes as \p name; false when that fails.
inline bool WriteAll(const QString &name, const QByteArray &bytes)
{
    QFile out(name);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

/// Runs \p body with writes limited to \p bytes per file (EFBIG beyond, SIGXFSZ ignored).
inline void WithSizeLimit(rlim_t bytes, const std::function<void()> &body)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
    body();
    setrlimit(RLIMIT_FSIZE, &saved);
}
