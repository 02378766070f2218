#include "ResponseBuffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
BlockReallocator currentReallocator = &std::realloc;

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
    std::free(data);
}

std::string ResponseBuffer::text() const {
    if (size == 0) {
        return {};
    }
    const void* firstZero = std::memchr(data, '\0', size);
    const std::size_t length =
        firstZero == nullptr ? size
                             : static_cast<std::size_t>(static_cast<const char*>(firstZero) - data);
    return std::string(data, length);
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
