#pragma once

#include <cstddef>
#include <string>

// Collects a response body in one growing heap block. The block always holds the stored bytes
// followed by a 0 byte, so `data` reads as zero-terminated text. The block is owned by the
// buffer and released when the buffer goes out of scope.
struct ResponseBuffer {
    char* data = nullptr;
    std::size_t size = 0;     // bytes stored so far
    std::size_t capacity = 0; // bytes in the block; at least size + 1 once allocated

    ResponseBuffer();
    ~ResponseBuffer();
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;

    // The stored bytes up to the first 0 byte, as the text the web service answered, handed
    // over: the buffer is left empty (size 0). A large block gives its
    // memory back as the copy proceeds, so that the answer is in memory about once, not twice.
    // Throws std::bad_alloc, the buffer unchanged, when the text cannot be had.
    std::string takeText();
};

// libcurl write callback: appends itemSize * itemCount bytes to the ResponseBuffer `target`.
// Returns the count stored, or 0 when the block cannot grow; libcurl then ends the transfer
// with a write error, and the bytes stored before stay intact.
std::size_t storeResponseChunk(char* bytes, std::size_t itemSize, std::size_t itemCount,
                               void* target);

// The function that (re)allocates response blocks, with std::realloc's contract: the content
// is kept, and nullptr on failure leaves the old block untouched. Replacing it lets a test make
// growth fail; returns the one it replaces.
//
// The one in place at first maps large blocks on their own, aligned for transparent huge pages
// and grown by doubling; smaller ones come from std::realloc. A replacement may allocate
// its own blocks with std::realloc, but must hand every block it did not allocate to the
// reallocator it replaced. Blocks are released by how they were allocated, whichever
// reallocator is in place then.
using BlockReallocator = void* (*)(void* block, std::size_t bytes);
BlockReallocator setBlockReallocator(BlockReallocator reallocator);
