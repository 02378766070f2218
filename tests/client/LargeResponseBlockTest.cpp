// Response blocks past the size from which they are mapped on their own: growth from the C heap
// into a mapping and from one mapping to a larger one, the reallocator seam around them, the
// hand-over of the text, and their release.
#include "ResponseBuffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {
constexpr std::size_t MiB = std::size_t{1} << 20;

// Text without 0 bytes that differs at every offset a shifted or stale page could land on.
std::string patterned(std::size_t bytes) {
    std::string text(bytes, ' ');
    for (std::size_t i = 0; i < bytes; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    }
    return text;
}

// Stores `text` the way libcurl hands a body over, 16 KiB at a time; false at the first refusal.
bool storeInChunks(ResponseBuffer& buffer, const std::string& text) {
    constexpr std::size_t chunk = 16 * 1024;
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        const std::size_t n = std::min(chunk, text.size() - at);
        if (storeResponseChunk(const_cast<char*>(text.data() + at), 1, n, &buffer) != n) {
            return false;
        }
    }
    return true;
}

void expectHolds(const ResponseBuffer& buffer, const std::string& text) {
    ASSERT_EQ(buffer.size, text.size());
    EXPECT_GE(buffer.capacity, buffer.size + 1);
    EXPECT_EQ(buffer.data[buffer.size], '\0');
    EXPECT_TRUE(std::string(buffer.data, buffer.size) == text) << "the stored bytes differ";
}

// Counts the calls and hands them to the reallocator it replaced, or refuses them while
// `refusing`; blocks under `ownBelow` bytes it allocates itself with std::realloc.
struct CountingHook {
    static inline BlockReallocator previous = nullptr;
    static inline unsigned calls = 0;
    static inline bool refusing = false;
    static inline std::size_t ownBelow = 0;

    static void* reallocate(void* block, std::size_t bytes) {
        ++calls;
        if (refusing) {
            return nullptr;
        }
        return bytes < ownBelow ? std::realloc(block, bytes) : previous(block, bytes);
    }

    explicit CountingHook(std::size_t allocateBelow = 0) {
        calls = 0;
        refusing = false;
        ownBelow = allocateBelow;
        previous = setBlockReallocator(&reallocate);
    }
    ~CountingHook() { setBlockReallocator(previous); }
    CountingHook(const CountingHook&) = delete;
    CountingHook& operator=(const CountingHook&) = delete;
};

std::size_t virtualMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmSize:") {
            std::size_t kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}
} // namespace

TEST(LargeResponseBlock, KeepsEveryByteAsItGrowsFromTheHeapIntoLargerMappings) {
    const std::string text = patterned(24 * MiB + 123);
    ResponseBuffer buffer;
    ASSERT_TRUE(storeInChunks(buffer, text));
    expectHolds(buffer, text);
    EXPECT_TRUE(buffer.takeText() == text);
}

// Every growth goes through the reallocator in place, and a refusal loses nothing, however
// large the block has become; a block the hook allocated itself is taken over intact.
TEST(LargeResponseBlock, GrowsOnlyThroughTheSeamWhichMayRefuseOrAllocateItself) {
    for (const std::size_t hookOwnsBelow : {std::size_t{0}, 3 * MiB}) {
        SCOPED_TRACE("the hook allocates blocks under " + std::to_string(hookOwnsBelow));
        CountingHook hook(hookOwnsBelow);
        ResponseBuffer buffer;
        const std::string first = patterned(5 * MiB);
        ASSERT_TRUE(storeInChunks(buffer, first));
        EXPECT_GE(hook.calls, 10u);

        CountingHook::refusing = true;
        const unsigned before = hook.calls;
        std::string more = patterned(8 * MiB);
        EXPECT_EQ(storeResponseChunk(more.data(), 1, more.size(), &buffer), 0u);
        EXPECT_GT(hook.calls, before);
        expectHolds(buffer, first);

        CountingHook::refusing = false;
        EXPECT_EQ(storeResponseChunk(more.data(), 1, more.size(), &buffer), more.size());
        expectHolds(buffer, first + more);
    }
}

TEST(TakeText, HandsTheTextOverAndLeavesAnEmptyBufferThatStillStores) {
    for (const std::size_t bytes : {std::size_t{100}, 20 * MiB + 5}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes");
        const std::string text = patterned(bytes);
        ResponseBuffer buffer;
        ASSERT_TRUE(storeInChunks(buffer, text + std::string(1, '\0') + "after the 0 byte"));
        EXPECT_TRUE(buffer.takeText() == text);
        EXPECT_EQ(buffer.size, 0u);
        EXPECT_STREQ(buffer.data, "");
        EXPECT_EQ(buffer.takeText(), "");

        const std::string again = patterned(bytes / 2 + 1);
        ASSERT_TRUE(storeInChunks(buffer, again));
        expectHolds(buffer, again);
    }
}

// Mapped blocks are not the C heap's, so LeakSanitizer would not see them stay behind.
TEST(LargeResponseBlock, IsReleasedWithItsBufferEvenWhenManyAreAlive) {
    // One source string for every round: freed heap blocks, which AddressSanitizer keeps in
    // quarantine, would count in the virtual memory as well.
    std::string source(16 * MiB, 'r');
    const std::size_t before = virtualMemoryKiB();
    for (int round = 0; round < 16; ++round) {
        ResponseBuffer buffer;
        ASSERT_EQ(storeResponseChunk(source.data(), 1, source.size(), &buffer), source.size());
    }
    EXPECT_LT(virtualMemoryKiB(), before + 128 * 1024) << "KiB of virtual memory after 256 MiB";

    // More buffers alive at once than there are mapped blocks to keep track of.
    std::vector<std::unique_ptr<ResponseBuffer>> alive;
    const std::string text = patterned(MiB + 1);
    for (int i = 0; i < 80; ++i) {
        alive.push_back(std::make_unique<ResponseBuffer>());
        ASSERT_TRUE(storeInChunks(*alive.back(), text));
    }
    expectHolds(*alive.front(), text);
    expectHolds(*alive.back(), text);
}
