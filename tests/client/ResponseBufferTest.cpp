// The response buffer on its own: how blocks are joined, handed over, and grown, also when memory
// runs out or is capped.
#include "ResponseBuffer.h"

#include "FailingAllocation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {
constexpr std::size_t MiB = std::size_t{1} << 20;

std::size_t store(ResponseBuffer& buffer, std::string bytes) {
    return storeResponseChunk(bytes.data(), 1, bytes.size(), &buffer);
}

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
    constexpr std::size_t chunk = std::size_t{16} * 1024;
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
    EXPECT_EQ(buffer.data[buffer.size], '\0');
    EXPECT_TRUE(std::string(buffer.data, buffer.size) == text) << "the stored bytes differ";
}
} // namespace

TEST(StoreResponseChunk, JoinsBlocksInArrivalOrderBehindWhichAZeroByteStands) {
    ResponseBuffer buffer;
    ASSERT_NE(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.data[0], '\0');

    EXPECT_EQ(store(buffer, "first "), 6u);
    EXPECT_EQ(store(buffer, ""), 0u);
    std::string many(100000, 'x');
    EXPECT_EQ(storeResponseChunk(many.data(), 4, 25000, &buffer), 100000u);
    EXPECT_EQ(store(buffer, " last"), 5u);
    expectHolds(buffer, "first " + many + " last");

    const std::string large = patterned(24 * MiB + 123);
    ResponseBuffer grown;
    ASSERT_TRUE(storeInChunks(grown, large));
    expectHolds(grown, large);
}

TEST(StoreResponseChunk, RefusesACountThatWouldOverflow) {
    ResponseBuffer buffer;
    char byte = 'z';
    EXPECT_EQ(storeResponseChunk(&byte, static_cast<std::size_t>(-1) / 2 + 1, 2, &buffer), 0u);
    EXPECT_EQ(storeResponseChunk(&byte, 1, static_cast<std::size_t>(-1), &buffer), 0u);
    EXPECT_EQ(buffer.size, 0u);
}

// A refused growth, small or large, stores nothing and loses nothing; the buffer goes on storing
// once memory is there again.
TEST(StoreResponseChunk, AFailedGrowthStoresNothingAndKeepsWhatWasThere) {
    for (const std::size_t bytes : {std::size_t{4}, 5 * MiB}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes stored before");
        const std::string first = patterned(bytes);
        std::string more = patterned(8 * MiB);
        ResponseBuffer buffer;
        ASSERT_TRUE(storeInChunks(buffer, first));
        {
            const auto failing = FailingAllocation::fromAttempt(1);
            EXPECT_EQ(storeResponseChunk(more.data(), 1, more.size(), &buffer), 0u);
            EXPECT_TRUE(failing.struck());
        }
        expectHolds(buffer, first);
        EXPECT_EQ(storeResponseChunk(more.data(), 1, more.size(), &buffer), more.size());
        expectHolds(buffer, first + more);
    }
}

// However small the pieces, the block doubles: a number of growths logarithmic in the answer's
// size, and less than four times the answer allocated in all.
TEST(StoreResponseChunk, GrowsInFewStepsWhateverTheSizeOfThePieces) {
    struct Row {
        std::size_t answer;
        std::size_t piece;
    };
    for (const Row row :
         {Row{64 << 10, 1}, Row{MiB, 1}, Row{MiB + 17, 3}, Row{24 * MiB, 16 << 10}}) {
        SCOPED_TRACE(std::to_string(row.answer) + " bytes in pieces of " +
                     std::to_string(row.piece));
        const std::string text = patterned(row.answer);
        ResponseBuffer buffer;
        const auto counted = FailingAllocation::counting();
        for (std::size_t at = 0; at < text.size(); at += row.piece) {
            const std::size_t n = std::min(row.piece, text.size() - at);
            ASSERT_EQ(storeResponseChunk(const_cast<char*>(text.data() + at), 1, n, &buffer), n);
        }
        EXPECT_LE(counted.attempts(), std::log2(static_cast<double>(row.answer)) + 3);
        EXPECT_LT(counted.bytesGranted(), 4 * text.size());
        expectHolds(buffer, text);
    }
}

// Under a cap that refuses the doubled block, growth must still take a few large steps, not copy
// the whole block again for every chunk that arrives.
TEST(StoreResponseChunk, GrowsInFewStepsWhenDoublingIsRefused) {
    const std::string text = patterned(40 * MiB);
    ResponseBuffer buffer;
    const auto capped = FailingAllocation::above(60 * MiB);
    ASSERT_TRUE(storeInChunks(buffer, text));
    EXPECT_TRUE(capped.struck());
    // Doubling alone would allocate less than four times the answer in all.
    EXPECT_LT(capped.bytesGranted(), 4 * text.size())
        << capped.attempts() << " allocations took " << capped.bytesGranted() / MiB << " MiB";
    expectHolds(buffer, text);
}

TEST(TakeText, HandsTheTextUpToTheFirstZeroByteOverAndLeavesAnEmptyBufferThatStillStores) {
    for (const std::size_t bytes : {std::size_t{0}, std::size_t{100}, 20 * MiB + 5}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes");
        const std::string text = patterned(bytes);
        ResponseBuffer buffer;
        EXPECT_EQ(buffer.takeText(), "");
        ASSERT_TRUE(storeInChunks(buffer, text + std::string(1, '\0') + "after the 0 byte"));
        EXPECT_TRUE(buffer.takeText() == text);
        EXPECT_EQ(buffer.size, 0u);
        EXPECT_STREQ(buffer.data, "");

        const std::string again = patterned(bytes / 2 + 1);
        ASSERT_TRUE(storeInChunks(buffer, again));
        expectHolds(buffer, again);
    }
}
