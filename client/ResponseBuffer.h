#pragma once

#include <cstddef>
#include <string>

// Collects a response body. The block is the storage of `block`, so the finished answer is
// handed over by a move, never copied. `data` and `size` always describe it: the stored bytes
// followed by a 0 byte, so `data` reads as zero-terminated text.
struct ResponseBuffer {
    char* data = nullptr;
    std::size_t size = 0; // bytes stored so far
    std::string block;    // the storage; its capacity is the room the block has
    // Where the text ends: the first 0 byte stored, found while each block is still in the
    // cache, rather than by a search through the whole answer at the end.
    std::size_t textLength = std::string::npos;

    ResponseBuffer() {
        data = block.data();
    }
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;

    // Makes room at once for an answer announced to be `bytes` long, so that it need not grow
    // there by copies. A hint only: where the memory cannot be had, the block grows as it fills.
    void expect(std::size_t bytes) noexcept;

    // The stored bytes up to the first 0 byte, handed over without a copy; the buffer is left
    // empty and can store again.
    std::string takeText() noexcept;
};

// libcurl write callback: appends itemSize * itemCount bytes to the ResponseBuffer `target`.
// Returns the count stored, or 0 when the block cannot grow; libcurl then ends the transfer
// with a write error, and the bytes stored before stay intact.
std::size_t storeResponseChunk(char* bytes, std::size_t itemSize, std::size_t itemCount,
                               void* target);
