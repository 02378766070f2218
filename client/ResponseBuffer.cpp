#include "ResponseBuffer.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

namespace {
// A large answer costs mostly the kernel's page faults on fresh memory. Blocks from this size on
// are mapped on their own, aligned to the 2 MiB of a transparent huge page and advised to use
// them, so that the kernel faults them in 512 times fewer steps; they grow by doubling into a
// fresh aligned mapping, so the copies add up to less than the answer itself. (Moving the pages
// with mremap would copy nothing, but memory checkers such as valgrind lose track of mappings
// grown that way.) Smaller blocks stay with the C heap.
constexpr std::size_t hugePageBytes = std::size_t{2} << 20;
constexpr std::size_t mappedBlockBytes = std::size_t{1} << 20;

// The mapped blocks alive, so that a block can be grown and released by how it was allocated.
// With every slot taken, blocks stay with the C heap.
struct MappedBlock {
    void* start = nullptr;  // nullptr: a free slot
    std::size_t length = 0; // of the mapping
    std::size_t bytes = 0;  // asked for, the rest poisoned under AddressSanitizer
};
std::mutex mappedMutex;
std::array<MappedBlock, 64> mappedBlocks;

MappedBlock* findMapped(const void* block) {
    for (MappedBlock& entry : mappedBlocks) {
        if (entry.start != nullptr && entry.start == block) {
            return &entry;
        }
    }
    return nullptr;
}

// Under AddressSanitizer the part of a mapping past the bytes asked for is poisoned, as the C
// heap's redzones would be; a mapping is unpoisoned before it goes away.
void poison(void* start, std::size_t bytes) {
#ifdef __SANITIZE_ADDRESS__
    ASAN_POISON_MEMORY_REGION(start, bytes);
#else
    static_cast<void>(start);
    static_cast<void>(bytes);
#endif
}

void unpoison(void* start, std::size_t bytes) {
#ifdef __SANITIZE_ADDRESS__
    ASAN_UNPOISON_MEMORY_REGION(start, bytes);
#else
    static_cast<void>(start);
    static_cast<void>(bytes);
#endif
}

// `bytes` rounded up to whole huge pages, or 0 when that does not fit in a size_t.
std::size_t hugePagesFor(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * hugePageBytes) {
        return 0;
    }
    return (bytes + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
}

// Advises the kernel to back the whole huge pages inside [start, start + bytes) with
// transparent huge pages. A hint only: where the kernel does not offer them, nothing changes.
void adviseHugePages(void* start, std::size_t bytes) {
    const auto from = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t first = (from + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
    const std::uintptr_t end = (from + bytes) / hugePageBytes * hugePageBytes;
    if (end > first) {
        ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
}

// A fresh mapping of `length` bytes (whole huge pages) starting on a huge page boundary.
void* mapAligned(std::size_t length) {
    const std::size_t reserved = length + hugePageBytes;
    void* area =
        ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        return nullptr;
    }
    const auto from = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t start = (from + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
    if (start > from) {
        ::munmap(area, start - from);
    }
    const std::size_t after = from + reserved - (start + length);
    if (after > 0) {
        ::munmap(reinterpret_cast<void*>(start + length), after);
    }
    adviseHugePages(reinterpret_cast<void*>(start), length);
    unpoison(reinterpret_cast<void*>(start), length);
    return reinterpret_cast<void*>(start);
}

// A mapped block of at least `bytes` holding the first bytes of `block`, a C heap block or
// nullptr, which it then frees; nullptr (and `block` untouched) when there is none to be had.
void* moveToMapping(void* block, std::size_t bytes) {
    auto slot = std::find_if(mappedBlocks.begin(), mappedBlocks.end(),
                             [](const MappedBlock& entry) { return entry.start == nullptr; });
    const std::size_t length = hugePagesFor(bytes);
    if (slot == mappedBlocks.end() || length == 0) {
        return std::realloc(block, bytes);
    }
    void* mapped = mapAligned(length);
    if (mapped == nullptr) {
        return nullptr;
    }
    if (block != nullptr) {
        std::memcpy(mapped, block, std::min(::malloc_usable_size(block), bytes));
        std::free(block);
    }
    *slot = MappedBlock{mapped, length, bytes};
    poison(static_cast<char*>(mapped) + bytes, length - bytes);
    return mapped;
}

void releaseMapping(MappedBlock& entry) {
    unpoison(entry.start, entry.length);
    ::munmap(entry.start, entry.length);
    entry = MappedBlock{};
}

// Hands `length` bytes of `block` to `append` a few huge pages at a time. When the block is a
// mapping of `mappingLength` bytes, each copied part goes back to the kernel, which hands the
// same memory out again, still warm, for the next parts: the bytes are never in memory twice.
// The parts given back read as 0 bytes afterwards.
template <typename Append>
void drainBlock(char* block, std::size_t mappingLength, std::size_t length, Append append) {
    constexpr std::size_t step = 4 * hugePageBytes;
    for (std::size_t at = 0; at < length; at += step) {
        const std::size_t piece = std::min(step, length - at);
        append(block + at, piece);
        const std::size_t end = std::min(at + piece, mappingLength) / hugePageBytes * hugePageBytes;
        if (end > at) {
            ::madvise(block + at, end - at, MADV_DONTNEED);
        }
    }
}

// Grows (or keeps) the mapped block `entry` to hold `bytes`, copying it into a larger mapping.
void* resizeMapping(MappedBlock& entry, std::size_t bytes) {
    if (bytes <= entry.length) {
        unpoison(entry.start, entry.length);
        poison(static_cast<char*>(entry.start) + bytes, entry.length - bytes);
        entry.bytes = bytes;
        return entry.start;
    }
    const std::size_t length = hugePagesFor(bytes);
    if (length == 0) {
        return nullptr;
    }
    void* grown = mapAligned(length);
    if (grown == nullptr) {
        return nullptr;
    }
    char* into = static_cast<char*>(grown);
    drainBlock(static_cast<char*>(entry.start), entry.length, entry.bytes,
               [&into](const char* part, std::size_t bytes) {
                   std::memcpy(into, part, bytes);
                   into += bytes;
               });
    releaseMapping(entry);
    entry = MappedBlock{grown, length, bytes};
    poison(static_cast<char*>(grown) + bytes, length - bytes);
    return grown;
}

// The reallocator in place at first. Called with 0 bytes, it frees the block.
void* reallocateBlock(void* block, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mappedMutex);
    MappedBlock* mapped = block == nullptr ? nullptr : findMapped(block);
    if (mapped == nullptr) {
        return bytes < mappedBlockBytes ? std::realloc(block, bytes) : moveToMapping(block, bytes);
    }
    if (bytes == 0) {
        releaseMapping(*mapped);
        return nullptr;
    }
    return resizeMapping(*mapped, bytes);
}

// The length of the mapping that holds `block`, or 0 when it comes from the C heap.
std::size_t mappingLengthOf(const void* block) {
    std::lock_guard<std::mutex> lock(mappedMutex);
    const MappedBlock* mapped = block == nullptr ? nullptr : findMapped(block);
    return mapped == nullptr ? 0 : mapped->length;
}

// Frees a block whichever reallocator allocated it: the mapped ones are known here, the others
// come from the C heap.
void releaseBlock(void* block) {
    std::lock_guard<std::mutex> lock(mappedMutex);
    if (MappedBlock* mapped = block == nullptr ? nullptr : findMapped(block)) {
        releaseMapping(*mapped);
    } else {
        std::free(block);
    }
}

BlockReallocator currentReallocator = &reallocateBlock;

// Grows the block to hold at least `needed` bytes. The capacity doubles so that a body of many
// blocks costs a logarithmic number of reallocations; if the doubled size cannot be had, the
// exact size is tried before giving up.
bool reserve(ResponseBuffer& buffer, std::size_t needed) {
    if (needed <= buffer.capacity) {
        return true;
    }
    std::size_t generous = buffer.capacity > needed / 2 ? buffer.capacity * 2 : needed;
    if (generous < needed || generous > std::numeric_limits<std::size_t>::max() / 2) {
        generous = needed;
    }
    void* grown = currentReallocator(buffer.data, generous);
    if (grown == nullptr && generous != needed) {
        generous = needed;
        grown = currentReallocator(buffer.data, generous);
    }
    if (grown == nullptr) {
        return false;
    }
    buffer.data = static_cast<char*>(grown);
    buffer.capacity = generous;
    return true;
}
} // namespace

ResponseBuffer::ResponseBuffer() {
    if (reserve(*this, 1)) {
        data[0] = '\0';
    }
}

ResponseBuffer::~ResponseBuffer() {
    releaseBlock(data);
}

namespace {
// Bytes up to the first 0 byte of `data`, which holds `size`.
std::size_t textLength(const char* data, std::size_t size) {
    const void* firstZero = size == 0 ? nullptr : std::memchr(data, '\0', size);
    return firstZero == nullptr
               ? size
               : static_cast<std::size_t>(static_cast<const char*>(firstZero) - data);
}

// An empty string with room for `length` bytes. Large, it is advised for huge pages before
// anything is written to it, so that it too is faulted in 2 MiB at a time.
std::string roomFor(std::size_t length) {
    std::string room;
    room.reserve(length);
    if (length >= mappedBlockBytes) {
        adviseHugePages(room.data(), length);
    }
    return room;
}
} // namespace

std::string ResponseBuffer::takeText() {
    const std::size_t length = textLength(data, size);
    std::string copy = roomFor(length);
    drainBlock(data, mappingLengthOf(data), length,
               [&copy](const char* part, std::size_t bytes) { copy.append(part, bytes); });
    size = 0;
    if (data != nullptr) {
        data[0] = '\0';
    }
    return copy;
}

std::size_t storeResponseChunk(char* bytes, std::size_t itemSize, std::size_t itemCount,
                               void* target) {
    auto& buffer = *static_cast<ResponseBuffer*>(target);
    const std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (itemSize != 0 && itemCount > limit / itemSize) {
        return 0;
    }
    const std::size_t n = itemSize * itemCount;
    if (n > limit - buffer.size - 1 || !reserve(buffer, buffer.size + n + 1)) {
        return 0;
    }
    if (n > 0) {
        std::memcpy(buffer.data + buffer.size, bytes, n);
    }
    buffer.size += n;
    buffer.data[buffer.size] = '\0';
    return n;
}

BlockReallocator setBlockReallocator(BlockReallocator reallocator) {
    BlockReallocator previous = currentReallocator;
    currentReallocator = reallocator;
    return previous;
}
