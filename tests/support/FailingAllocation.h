#pragma once

#include <cstddef>
#include <limits>

// Makes memory run out on purpose. While a guard is alive, the test's own thread sees its
// allocations of at least `smallest` bytes refused (operator new throws std::bad_alloc) by the
// rule the guard was made with; smaller ones, and other threads' (a loopback server's), go
// through. The test binary that links this replaces the global operator new and delete.
class FailingAllocation {
  public:
    static constexpr std::size_t smallest = 1024;

    // Refuses the `n`th attempt and every one after it, as when memory has run out for good.
    static FailingAllocation fromAttempt(unsigned n) {
        return {n, false, noCap};
    }
    // Refuses the `n`th attempt only.
    static FailingAllocation atAttemptOnly(unsigned n) {
        return {n, true, noCap};
    }
    // Refuses every attempt larger than `bytes`, as a cap on the address space does.
    static FailingAllocation above(std::size_t bytes) {
        return {0, false, bytes};
    }
    // Refuses nothing: only counts the attempts.
    static FailingAllocation counting() {
        return {0, false, noCap};
    }

    ~FailingAllocation();
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    unsigned attempts() const {
        return attempts_;
    }
    bool struck() const {
        return struck_;
    }
    // The bytes of the attempts that went through.
    std::size_t bytesGranted() const {
        return bytesGranted_;
    }

    // Called by operator new: whether to refuse this attempt.
    static bool refuses(std::size_t bytes);

  private:
    static constexpr std::size_t noCap = std::numeric_limits<std::size_t>::max();
    FailingAllocation(unsigned failAt, bool oneOff, std::size_t cap);

    unsigned failAt_;
    bool oneOff_;
    std::size_t cap_;
    unsigned attempts_ = 0;
    bool struck_ = false;
    std::size_t bytesGranted_ = 0;
};
