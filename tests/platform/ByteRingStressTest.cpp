// Two threads through one ring, as the audio callback and the program's thread use it: every
// byte arrives once, in order, across many wrap-arounds, while the reader also peeks and skips.
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ByteRing.h"

namespace {

std::uint8_t byteAt(std::uint64_t position) {
    return static_cast<std::uint8_t>(position * 131 + (position >> 8));
}

TEST(ByteRing, TwoThreadsWrapPeekAndSkipWithoutARace) {
    Platform::ByteRing ring(256);
    constexpr std::uint64_t total = 4'000'000;
    std::thread producer([&] {
        std::uint64_t at = 0;
        std::vector<std::uint8_t> chunk(97);
        while (at < total) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunk.size() - at % 13, total - at));
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = byteAt(at + i);
            at += ring.write(chunk.data(), n);
            if (ring.writable() == 0)
                std::this_thread::yield();
        }
    });
    std::uint64_t at = 0;
    std::uint64_t mismatches = 0;
    std::vector<std::uint8_t> got(211);
    for (std::uint64_t round = 0; at < total; ++round) {
        const std::size_t want = 1 + static_cast<std::size_t>(round % got.size());
        std::size_t n = 0;
        if (round % 7 == 0) {
            // Peek, check, then skip what was seen, as a reader that drops audio does.
            n = ring.peek(got.data(), want);
            for (std::size_t i = 0; i < n; ++i)
                mismatches += got[i] != byteAt(at + i);
            ring.skipTo(at + n);
        } else {
            n = ring.read(got.data(), want);
            for (std::size_t i = 0; i < n; ++i)
                mismatches += got[i] != byteAt(at + i);
        }
        at += n;
        EXPECT_EQ(ring.read(), at);
        if (n == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ring.written(), total);
    EXPECT_EQ(ring.readable(), 0u);
}

} // namespace
