// A single-producer single-consumer ring of bytes between a real-time audio callback and an
// ordinary thread: one side only writes, the other only reads, and neither locks, allocates or
// waits once the ring is made. Positions count every byte ever moved, so either side can tell
// how far the other has got.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Platform {

class ByteRing {
public:
    // Holds at least MinCapacity bytes (rounded up to a power of two).
    explicit ByteRing(std::size_t MinCapacity)
        : capacity_(std::bit_ceil(std::max<std::size_t>(MinCapacity, 64))),
          data_(std::make_unique<std::uint8_t[]>(capacity_)) {}
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    std::size_t capacity() const { return capacity_; }
    // Bytes written and read since the ring was made; any thread may ask.
    std::uint64_t written() const { return write_.load(std::memory_order_acquire); }
    std::uint64_t read() const { return read_.load(std::memory_order_acquire); }
    std::size_t readable() const { return static_cast<std::size_t>(written() - read()); }
    std::size_t writable() const { return capacity_ - readable(); }

    // Producer: hands Sink(destination, bytes) up to two spans of free room covering at most
    // Bytes, then publishes what the spans held. Returns the bytes written.
    template <class Sink>
    std::size_t writeWith(std::size_t Bytes, Sink&& Fill) {
        const std::uint64_t at = write_.load(std::memory_order_relaxed);
        const std::size_t n = std::min(
            Bytes,
            capacity_ - static_cast<std::size_t>(at - read_.load(std::memory_order_acquire)));
        forSpans(at, n, Fill);
        write_.store(at + n, std::memory_order_release);
        return n;
    }
    // Consumer: the same over the bytes ready to read.
    template <class Source>
    std::size_t readWith(std::size_t Bytes, Source&& Take) {
        const std::uint64_t at = read_.load(std::memory_order_relaxed);
        const std::size_t n =
            std::min(Bytes, static_cast<std::size_t>(write_.load(std::memory_order_acquire) - at));
        forSpans(at, n, Take);
        read_.store(at + n, std::memory_order_release);
        return n;
    }

    std::size_t write(const void* Data, std::size_t Bytes) {
        auto* from = static_cast<const std::uint8_t*>(Data);
        return writeWith(Bytes, [&](std::uint8_t* To, std::size_t N) {
            std::memcpy(To, from, N);
            from += N;
        });
    }
    std::size_t read(void* Dest, std::size_t Bytes) {
        auto* to = static_cast<std::uint8_t*>(Dest);
        return readWith(Bytes, [&](const std::uint8_t* From, std::size_t N) {
            std::memcpy(to, From, N);
            to += N;
        });
    }
    // Consumer: copies up to Bytes of what is ready without taking it.
    std::size_t peek(void* Dest, std::size_t Bytes) {
        auto* to = static_cast<std::uint8_t*>(Dest);
        const std::uint64_t at = read_.load(std::memory_order_relaxed);
        const std::size_t n =
            std::min(Bytes, static_cast<std::size_t>(write_.load(std::memory_order_acquire) - at));
        auto copy = [&](const std::uint8_t* From, std::size_t N) {
            std::memcpy(to, From, N);
            to += N;
        };
        forSpans(at, n, copy);
        return n;
    }
    // Consumer: drops what was written before Position (a total as written() counts).
    void skipTo(std::uint64_t Position) {
        const std::uint64_t at = read_.load(std::memory_order_relaxed);
        if (Position > at)
            read_.store(std::min(Position, write_.load(std::memory_order_acquire)),
                        std::memory_order_release);
    }

private:
    template <class Visit>
    void forSpans(std::uint64_t At, std::size_t Bytes, Visit& Fn) {
        const std::size_t offset = static_cast<std::size_t>(At) & (capacity_ - 1);
        const std::size_t first = std::min(Bytes, capacity_ - offset);
        if (first > 0)
            Fn(data_.get() + offset, first);
        if (Bytes > first)
            Fn(data_.get(), Bytes - first);
    }

    const std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> data_;
    // Each side writes only its own position; they sit apart so that they do not share a line.
    alignas(64) std::atomic<std::uint64_t> write_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
};

} // namespace Platform
