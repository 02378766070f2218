#include "ResponseBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
std::size_t store(ResponseBuffer& buffer, std::string bytes) {
    return storeResponseChunk(bytes.data(), 1, bytes.size(), &buffer);
}

void* refuseToGrow(void*, std::size_t) {
    return nullptr;
}

// Restores the real allocator however a test ends.
struct FailingGrowth {
    BlockReallocator previous = setBlockReallocator(&refuseToGrow);
    ~FailingGrowth() { setBlockReallocator(previous); }
};
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

    EXPECT_EQ(buffer.size, 6u + 100000u + 5u);
    EXPECT_EQ(buffer.data[buffer.size], '\0');
    EXPECT_EQ(std::string(buffer.data, buffer.size), "first " + many + " last");
    EXPECT_GE(buffer.capacity, buffer.size + 1);
}

TEST(StoreResponseChunk, AFailedGrowthStoresNothingAndKeepsWhatWasThere) {
    ResponseBuffer buffer;
    store(buffer, "kept");
    {
        FailingGrowth failing;
        std::string large(1 << 20, 'y');
        EXPECT_EQ(store(buffer, large), 0u);
    }
    EXPECT_EQ(buffer.size, 4u);
    EXPECT_STREQ(buffer.data, "kept");
    EXPECT_EQ(store(buffer, " and more"), 9u);
    EXPECT_STREQ(buffer.data, "kept and more");
}

TEST(StoreResponseChunk, RefusesACountThatWouldOverflow) {
    ResponseBuffer buffer;
    char byte = 'z';
    EXPECT_EQ(storeResponseChunk(&byte, static_cast<std::size_t>(-1) / 2 + 1, 2, &buffer), 0u);
    EXPECT_EQ(storeResponseChunk(&byte, 1, static_cast<std::size_t>(-1), &buffer), 0u);
    EXPECT_EQ(buffer.size, 0u);
}

TEST(ResponseBufferText, EndsAtTheFirstZeroByte) {
    ResponseBuffer buffer;
    EXPECT_EQ(buffer.takeText(), "");
    store(buffer, std::string("before\0after", 12));
    EXPECT_EQ(buffer.size, 12u);
    EXPECT_EQ(buffer.takeText(), "before");
}
