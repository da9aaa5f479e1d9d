#pragma once
/*!
 * \brief The one way this program writes a file: under a temporary name in the
 * final name's folder, renamed over the final name only when every byte is in.
 *
 * The temporary name is unique per process (process id and a counter) and
 * created exclusively, so two runs writing the same file never share one; it
 * is never longer than the folder allows (a short name in the same folder when
 * the final name plus a suffix would be too long). Every write, the flush, the
 * close and the rename are checked; the first failure sticks, and Commit then
 * removes the temporary file and leaves the final name untouched. rename(2)
 * replaces the final name in one step: an old file of that name stays whole
 * until the new one is complete, and a link under the final name is replaced
 * itself, never written through.
 *
 * It is a write-only QIODevice for text and data streams; raw bytes go
 * through Write, and libtiff gets the descriptor. Nothing is logged here: the
 * caller names the file in its own error line, Reason() says why.
 */
#include <QIODevice>
#include <QString>
#include <functional>
#include <vector>

class AtomicFile : public QIODevice {
public:
    explicit AtomicFile(const QString &fileName);
    /// Removes the temporary file unless Commit succeeded.
    ~AtomicFile() override;
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    /// Creates the temporary file; false (Reason() set) when that fails.
    bool Open();
    /// Appends \p bytes bytes; false from the first failed write on.
    bool Write(const void *data, qint64 bytes);
    bool Write(const QByteArray &bytes) { return Write(bytes.constData(), bytes.size()); }
    /// Writes what is buffered to the descriptor; false on any failure so far.
    bool Flush();
    /// Flushes, (optionally) syncs, closes and renames over the final name.
    bool Commit();
    /// Asks Commit to wait until the disk holds the data (small files only).
    void SetSyncToDisk(bool sync) { syncToDisk = sync; }

    /// The descriptor of the temporary file (for libraries that write it
    /// themselves); -1 before Open.
    int Descriptor() const { return fd; }
    /// Marks the file as failed (a library writing the descriptor reported an error).
    void Fail(int error);
    bool Failed() const { return failed; }
    const QString &FileName() const { return fileName; }
    const QString &TemporaryName() const { return tempName; }
    /// Why the file failed ("No space left on device", ...); empty while all is well.
    QString Reason() const;

    /// The temporary name of \p fileName for process \p pid and \p counter,
    /// within \p nameMax bytes per name (exposed for tests).
    static QString TemporaryNameFor(const QString &fileName, long pid, unsigned counter, long nameMax);

    bool isSequential() const override { return true; }

    /*!
     * \brief With \p later, an old file a commit replaces is freed in another
     * thread: it keeps a second name (a temporary name of this process) while
     * the new file is renamed over its name, and that name is removed there.
     * On ext4 freeing a replaced file takes about a millisecond per MB, which
     * a run that replaces its maps would otherwise wait for file by file.
     * Until WaitForReleasedFiles returns, such a name may still stand in the
     * folder; the converter waits before it returns.
     */
    static void ReleaseReplacedFilesLater(bool later);
    /// Returns when every old file handed to the other thread is removed.
    static void WaitForReleasedFiles();

    /// Called with the final name of every file committed from now on
    /// (the converter lists what it wrote); an empty function: none.
    static void SetCommitObserver(std::function<void(const QString &)> observer);

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 bytes) override;

private:
    bool WriteOut(const char *data, std::size_t bytes);
    void Discard();

    QString fileName;
    QString tempName;
    int fd = -1;
    int error = 0;
    bool failed = false;
    bool committed = false;
    bool syncToDisk = false;
    long nameMax = 0;
    std::vector<char> buffer;
};
