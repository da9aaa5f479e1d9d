#pragma once
/*!
 * \brief All T3 records of a file as one contiguous, read-only array of 32-bit words.
 *
 * The words are either a private read-only mapping of the measurement file
 * (the page cache is used in place: no copy, and no first touch of freshly
 * allocated memory, which on these machines costs far more than reading the
 * bytes) or, where a mapping is not possible, a heap copy filled by one bulk
 * read. Either way the array is contiguous and words are read by index.
 */
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class RecordBuffer {
public:
    RecordBuffer() = default;
    ~RecordBuffer();
    RecordBuffer(const RecordBuffer &) = delete;
    RecordBuffer &operator=(const RecordBuffer &) = delete;

    /// Loads up to \p count words that start at byte \p offset of the file
    /// \p path. Returns the number of whole words available (fewer than
    /// \p count when the file is shorter), or -1 when the file cannot be read.
    int64_t Load(const QString &path, int64_t offset, uint64_t count);

    /// Replaces the content with a copy of \p words (tests, synthetic data).
    void Assign(std::vector<uint32_t> words);

    /// Drops the records and releases their memory.
    void Clear();

    const uint32_t *data() const { return words_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint32_t operator[](std::size_t i) const { return words_[i]; }
    const uint32_t *begin() const { return words_; }
    const uint32_t *end() const { return words_ + size_; }
    /// True when the words are a mapping of the file rather than a heap copy.
    bool IsMapped() const { return mapping_ != nullptr; }

private:
    const uint32_t *words_ = nullptr;
    std::size_t size_ = 0;
    void *mapping_ = nullptr;       // start of the mmap'ed region, page aligned
    std::size_t mappingLength_ = 0;
    std::vector<uint32_t> heap_;    // used when the file cannot be mapped
};
