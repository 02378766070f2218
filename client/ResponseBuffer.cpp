#include "ResponseBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {
// A large answer costs mostly the kernel's page faults on fresh memory. A block grows into fresh
// storage by doubling, so that the copies add up to less than twice the answer, and every copy
// out of a large block goes a few megabytes at a time, each part handed back once copied.
constexpr std::size_t hugePageBytes = std::size_t{2} << 20;
constexpr std::size_t copyStep = 4 * hugePageBytes;
// Below a huge page, a block is faulted in and freed by the allocator cheaply enough that a
// system call per growth would cost more than it saves.
constexpr std::size_t largeBlock = hugePageBytes;

#ifdef __linux__
// ---- Linux section ----
// Large blocks are faulted in as transparent huge pages, 512 times fewer faults than 4 KiB
// pages, and copied parts go back to the kernel, which hands the same memory out again, still
// warm, for the next part: the bytes are never in memory twice. Both are hints; where the
// kernel does not take them, nothing changes.
void adviseHugePages(char* start, std::size_t bytes) {
    const auto from = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t first = (from + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
    const std::uintptr_t end = (from + bytes) / hugePageBytes * hugePageBytes;
    if (end > first) {
        ::madvise(start + (first - from), end - first, MADV_HUGEPAGE);
    }
}

void handBack(const char* start, std::size_t bytes) {
    constexpr std::uintptr_t page = 4096;
    const auto from = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t first = (from + page - 1) / page * page;
    const std::uintptr_t end = (from + bytes) / page * page;
    if (end > first) {
        // madvise takes a writable address; the pages' contents are given up, never written.
        ::madvise(const_cast<char*>(start) + (first - from), end - first, MADV_DONTNEED);
    }
}
// ---- end of Linux section ----
#else
// Elsewhere the block simply grows; the old storage is released whole once copied.
void adviseHugePages(char*, std::size_t) {}
void handBack(const char*, std::size_t) {}
#endif

// Fresh storage for at least `bytes` bytes, holding the content of `old`, which it drains. False,
// `old` untouched, when the memory cannot be had.
bool moveInto(std::string& old, std::size_t bytes) {
    std::string grown;
    try {
        grown.reserve(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    if (bytes < largeBlock) {
        grown.append(old);
    } else {
        adviseHugePages(grown.data(), bytes);
        for (std::size_t at = 0; at < old.size(); at += copyStep) {
            const std::size_t piece = std::min(copyStep, old.size() - at);
            grown.append(old, at, piece);
            handBack(old.data() + at, piece);
        }
    }
    old.swap(grown);
    return true;
}

// Makes room for `needed` bytes. The room doubles from the first byte on, whatever the size of
// the pieces that arrive, so that a body costs a number of copies logarithmic in its size. Where
// doubling is refused (memory is capped), ever smaller growths are tried before the exact size,
// so that growth under a cap stays a few large steps rather than a copy of the whole block for
// every piece received.
bool reserve(std::string& block, std::size_t needed) {
    const std::size_t room = block.capacity();
    if (needed <= room) {
        return true;
    }
    constexpr std::size_t smallestFallback = std::size_t{64} << 10;
    for (std::size_t growth = room; growth > needed - room; growth /= 2) {
        if (growth <= block.max_size() - room && moveInto(block, room + growth)) {
            return true;
        }
        if (growth / 2 < smallestFallback) {
            break;
        }
    }
    return moveInto(block, needed);
}
} // namespace

void ResponseBuffer::expect(std::size_t bytes) noexcept {
    if (bytes > size && reserve(block, bytes)) {
        data = block.data();
    }
}

std::string ResponseBuffer::takeText() noexcept {
    if (textLength < size) {
        block.resize(textLength);
    }
    std::string text = std::move(block);
    block = std::string();
    data = block.data();
    size = 0;
    textLength = std::string::npos;
    return text;
}

std::size_t storeResponseChunk(char* bytes, std::size_t itemSize, std::size_t itemCount,
                               void* target) {
    auto& buffer = *static_cast<ResponseBuffer*>(target);
    const std::size_t limit = buffer.block.max_size();
    if (itemSize != 0 && itemCount > limit / itemSize) {
        return 0;
    }
    const std::size_t n = itemSize * itemCount;
    if (n > limit - buffer.size || !reserve(buffer.block, buffer.size + n)) {
        return 0;
    }
    if (buffer.textLength == std::string::npos && n > 0) {
        if (const void* zero = std::memchr(bytes, '\0', n)) {
            buffer.textLength =
                buffer.size + static_cast<std::size_t>(static_cast<const char*>(zero) - bytes);
        }
    }
    buffer.block.append(bytes, n);
    buffer.data = buffer.block.data();
    buffer.size = buffer.block.size();
    return n;
}
