#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {
// The guard alive on this thread, if any. Plain and constant-initialised, so that operator new
// can read it at any time, even while threads start.
thread_local FailingAllocation* active = nullptr;
} // namespace

FailingAllocation::FailingAllocation(unsigned failAt, bool oneOff, std::size_t cap)
    : failAt_(failAt), oneOff_(oneOff), cap_(cap) {
    active = this;
}

FailingAllocation::~FailingAllocation() {
    active = nullptr;
}

bool FailingAllocation::refuses(std::size_t bytes) {
    FailingAllocation* guard = active;
    if (guard == nullptr || bytes < smallest) {
        return false;
    }
    ++guard->attempts_;
    const unsigned n = guard->attempts_;
    const bool refused = bytes > guard->cap_ || n == guard->failAt_ ||
                         (!guard->oneOff_ && guard->failAt_ != 0 && n > guard->failAt_);
    if (refused) {
        guard->struck_ = true;
    } else {
        guard->bytesGranted_ += bytes;
    }
    return refused;
}

// Every form of the global operator new and delete is replaced, so that the sanitizers' and
// memory checkers' own versions never see a block of ours: each block goes from malloc to free.
void* operator new(std::size_t bytes) {
    if (FailingAllocation::refuses(bytes)) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t bytes) {
    return ::operator new(bytes);
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
    return ::operator new(bytes, tag);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
