#include "files/RecordBuffer.h"

#include <QFile>
#include <QSysInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// Closes a POSIX file descriptor on every way out.
struct FdGuard {
    int fd;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

/// pread until \p length bytes arrived or the file ended; false on a read error.
bool ReadFully(int fd, char *into, std::size_t length, off_t offset)
{
    while (length > 0) {
        const ssize_t got = ::pread(fd, into, length, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return false;
        into += got;
        length -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

} // namespace

RecordBuffer::~RecordBuffer()
{
    Clear();
}

void RecordBuffer::Clear()
{
    if (mapping_ != nullptr)
        ::munmap(mapping_, mappingLength_);
    mapping_ = nullptr;
    mappingLength_ = 0;
    std::vector<uint32_t>().swap(heap_);
    words_ = nullptr;
    size_ = 0;
}

void RecordBuffer::Assign(std::vector<uint32_t> words)
{
    Clear();
    heap_ = std::move(words);
    words_ = heap_.data();
    size_ = heap_.size();
}

int64_t RecordBuffer::Load(const QString &path, int64_t offset, uint64_t count)
{
    Clear();
    if (offset < 0)
        return -1;
    const QByteArray nativePath = QFile::encodeName(path);
    // Never blocks on a pipe put in the file's place; only a regular file is read.
    FdGuard file{::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0)
        return -1;
    struct stat st;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;

    // Only whole words that are really in the file; a torn last word is dropped.
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    const uint64_t available = fileSize > static_cast<uint64_t>(offset)
                                   ? (fileSize - static_cast<uint64_t>(offset)) / 4
                                   : 0;
    const uint64_t n = std::min(count, available);
    if (n == 0)
        return 0;
    const std::size_t bytes = static_cast<std::size_t>(n * 4);

    // The mapping is used in place only when the words are aligned (record
    // offset a multiple of 4) and stored in the host's byte order.
    const bool littleEndianHost = QSysInfo::ByteOrder == QSysInfo::LittleEndian;
    if (offset % 4 == 0 && littleEndianHost) {
        const long pageSize = ::sysconf(_SC_PAGESIZE);
        const int64_t pageStart = offset - offset % (pageSize > 0 ? pageSize : 4096);
        const std::size_t lead = static_cast<std::size_t>(offset - pageStart);
        void *map = ::mmap(nullptr, lead + bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd,
                           static_cast<off_t>(pageStart));
        if (map != MAP_FAILED) {
            mapping_ = map;
            mappingLength_ = lead + bytes;
            // Page aligned plus a multiple of 4: a valid, aligned array of words.
            words_ = reinterpret_cast<const uint32_t *>(static_cast<const char *>(map) + lead);
            size_ = static_cast<std::size_t>(n);
            return static_cast<int64_t>(n);
        }
    }

    // Fallback: one bulk read into the heap.
    heap_.resize(static_cast<std::size_t>(n));
    if (!ReadFully(file.fd, reinterpret_cast<char *>(heap_.data()), bytes, static_cast<off_t>(offset))) {
        Clear();
        return -1;
    }
    if (!littleEndianHost) {
        for (uint32_t &w : heap_) {
            unsigned char b[4];
            std::copy_n(reinterpret_cast<const unsigned char *>(&w), 4, b);
            w = qFromLittleEndian<quint32>(b);
        }
    }
    words_ = heap_.data();
    size_ = heap_.size();
    return static_cast<int64_t>(n);
}
