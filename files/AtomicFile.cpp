#include "files/AtomicFile.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Small writes gather here; larger ones go straight to the descriptor.
constexpr std::size_t kBufferBytes = 1 << 16;
// Names in a folder: the common limit when the folder does not say.
constexpr long kDefaultNameMax = 255;
std::atomic<unsigned> counter{0};
std::atomic<bool> releaseLater{false};

/// Removes the second names of replaced files in a thread of its own, in
/// the order they came; joined when the program ends.
class Releaser {
public:
    void Release(QByteArray name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!worker.joinable()) {
            try {
                worker = std::thread([this] { Run(); });
            } catch (const std::system_error &) {
                ::unlink(name.constData());  // no thread to be had: freed here, as the rename would have
                return;
            }
        }
        names.push_back(std::move(name));
        changed.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return names.empty() && !busy; });
    }
    ~Releaser()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (worker.joinable())
            worker.join();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || !names.empty(); });
            if (names.empty())
                return;
            const QByteArray name = std::move(names.front());
            names.pop_front();
            busy = true;
            lock.unlock();
            ::unlink(name.constData());
            lock.lock();
            busy = false;
            changed.notify_all();
        }
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> names;
    bool busy = false, stop = false;
    std::thread worker;
};

Releaser &TheReleaser()
{
    static Releaser releaser;
    return releaser;
}

std::function<void(const QString &)> &CommitObserver()
{
    static std::function<void(const QString &)> observer;
    return observer;
}

long NameMaxOf(const QString &folder)
{
    errno = 0;
    const long limit = ::pathconf(QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
                                  _PC_NAME_MAX);
    return limit > 0 ? limit : kDefaultNameMax;
}
} // namespace

AtomicFile::AtomicFile(const QString &name) : fileName(name) {}

AtomicFile::~AtomicFile()
{
    if (!committed)
        Discard();
}

QString AtomicFile::TemporaryNameFor(const QString &name, long pid, unsigned count, long nameMax)
{
    const int slash = name.lastIndexOf(QLatin1Char('/'));
    const QString folder = name.left(slash + 1);
    const QString base = name.mid(slash + 1);
    const QString tag = QStringLiteral(".%1-%2.part").arg(pid).arg(count);
    if (QFile::encodeName(base + tag).size() <= nameMax)
        return folder + base + tag;
    // Too long beside the final name: a short name of its own in the same folder.
    return folder + QStringLiteral(".fotonel") + tag;
}

bool AtomicFile::Open()
{
    const int slash = fileName.lastIndexOf(QLatin1Char('/'));
    nameMax = NameMaxOf(fileName.left(std::max(slash, 0)) + (slash == 0 ? QStringLiteral("/") : QString()));
    // A name left by a run that crashed with the same process id is skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName = TemporaryNameFor(fileName, static_cast<long>(::getpid()), counter++, nameMax);
        fd = ::open(QFile::encodeName(tempName).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    if (fd < 0) {
        Fail(errno);
        tempName.clear();
        return false;
    }
    buffer.reserve(kBufferBytes);
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    return true;
}

void AtomicFile::Fail(int code)
{
    if (!failed)
        error = code;
    failed = true;
}

QString AtomicFile::Reason() const
{
    return failed ? QString::fromLocal8Bit(std::strerror(error ? error : EIO)) : QString();
}

bool AtomicFile::WriteOut(const char *data, std::size_t bytes)
{
    while (bytes > 0 && !failed) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Fail(n < 0 ? errno : ENOSPC);
            break;
        }
        data += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return !failed;
}

bool AtomicFile::Write(const void *data, qint64 bytes)
{
    if (fd < 0 && !failed)
        Fail(EBADF);
    if (failed || bytes < 0)
        return false;
    const auto *p = static_cast<const char *>(data);
    const auto n = static_cast<std::size_t>(bytes);
    if (buffer.size() + n <= kBufferBytes) {
        buffer.insert(buffer.end(), p, p + n);
        return true;
    }
    return Flush() && WriteOut(p, n);
}

qint64 AtomicFile::writeData(const char *data, qint64 bytes)
{
    return Write(data, bytes) ? bytes : -1;
}

bool AtomicFile::Flush()
{
    if (fd < 0 && !failed)
        Fail(EBADF);
    if (!failed && !buffer.empty())
        WriteOut(buffer.data(), buffer.size());
    buffer.clear();
    return !failed;
}

bool AtomicFile::Commit()
{
    if (committed)
        return true;
    bool ok = Flush();
    if (ok && syncToDisk && ::fsync(fd) != 0) {
        Fail(errno);
        ok = false;
    }
    if (fd >= 0) {
        // Some file systems report a refused write only when the file is closed.
        if (::close(fd) != 0 && ok) {
            Fail(errno);
            ok = false;
        }
        fd = -1;
    }
    QIODevice::close();
    const QByteArray finalName = QFile::encodeName(fileName);
    // The old file's second name, when one is to be freed in the other thread.
    QByteArray oldName;
    if (ok && releaseLater) {
        for (int attempt = 0; attempt < 100 && oldName.isEmpty(); ++attempt) {
            const QByteArray name =
                QFile::encodeName(TemporaryNameFor(fileName, static_cast<long>(::getpid()), counter++, nameMax));
            if (::link(finalName.constData(), name.constData()) == 0)
                oldName = name;
            else if (errno != EEXIST)
                break;  // no old file, or a file system without links: the rename frees it
        }
    }
    if (ok && ::rename(QFile::encodeName(tempName).constData(), finalName.constData()) != 0) {
        Fail(errno);
        ok = false;
    }
    if (!oldName.isEmpty()) {
        if (ok)
            TheReleaser().Release(oldName);
        else
            ::unlink(oldName.constData());  // the old file still stands under its name
    }
    if (!ok) {
        Discard();
        return false;
    }
    committed = true;
    if (CommitObserver())
        CommitObserver()(fileName);
    return true;
}

void AtomicFile::ReleaseReplacedFilesLater(bool later)
{
    releaseLater = later;
}

void AtomicFile::WaitForReleasedFiles()
{
    TheReleaser().Wait();
}

void AtomicFile::SetCommitObserver(std::function<void(const QString &)> observer)
{
    CommitObserver() = std::move(observer);
}

void AtomicFile::Discard()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (isOpen())
        QIODevice::close();
    if (!tempName.isEmpty())
        ::unlink(QFile::encodeName(tempName).constData());
    tempName.clear();
    buffer.clear();
}
