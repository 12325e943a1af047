// Little-endian fields out of a byte span, for every decoder of the game's
// binary formats (maps, models, fonts, DDS images) and for the content
// tools' checkers of the same files.
//
// The reader never touches a byte outside its span. A sequential read that
// does not fit reads zero, leaves the position where it was and marks the
// reader failed (sticky), so a decoder may read a whole record and look
// once; a read at a fixed offset that does not fit reads zero as well.
// Counts that come from a file are measured with fits() before anything is
// sized from them: its arithmetic cannot wrap, and a negative count never
// fits. A plain value over bytes the caller owns and keeps alive; any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmar {

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const std::uint8_t* data, std::size_t size)
        : m_data(data), m_size(data ? size : 0) {}

    std::size_t size() const { return m_size; }
    std::size_t offset() const { return m_offset; }
    std::size_t left() const { return m_size - m_offset; }
    bool failed() const { return m_failed; }
    // The byte at the read position (the span's end when all is read).
    const std::uint8_t* at() const { return m_data + m_offset; }

    bool has(std::uint64_t bytes) const { return bytes <= left(); }
    // Whether `count` records of `recordSize` bytes remain after the position.
    bool fits(std::int64_t count, std::uint64_t recordSize) const {
        if (count < 0) return false;
        return count == 0 || recordSize == 0 ||
               static_cast<std::uint64_t>(count) <= left() / recordSize;
    }

    bool skip(std::uint64_t bytes) {
        if (!has(bytes)) return fail();
        m_offset += static_cast<std::size_t>(bytes);
        return true;
    }
    bool seek(std::size_t offset) {
        if (offset > m_size) return fail();
        m_offset = offset;
        return true;
    }
    // The next `bytes` bytes, the position past them; null when fewer remain.
    const std::uint8_t* take(std::uint64_t bytes) {
        const std::uint8_t* start = at();
        return skip(bytes) ? start : nullptr;
    }
    // A reader over the next `bytes` bytes, the position past them; an
    // empty, failed reader when fewer remain.
    ByteReader record(std::uint64_t bytes) {
        const std::uint8_t* start = take(bytes);
        ByteReader sub(start, start ? static_cast<std::size_t>(bytes) : 0);
        sub.m_failed = start == nullptr;
        return sub;
    }

    // --- In order, from the position ---
    std::uint8_t u8() { return next<std::uint8_t>(); }
    std::uint16_t u16() { return next<std::uint16_t>(); }
    std::uint32_t u32() { return next<std::uint32_t>(); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    float f32() { return bitsAs<float>(u32()); }
    double f64() { return bitsAs<double>(next<std::uint64_t>()); }
    void f32s(float* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = f32();
    }

    // --- At a fixed offset from the span's start; the position stays ---
    std::uint8_t u8At(std::size_t offset) const { return field<std::uint8_t>(offset); }
    std::uint16_t u16At(std::size_t offset) const { return field<std::uint16_t>(offset); }
    std::uint32_t u32At(std::size_t offset) const { return field<std::uint32_t>(offset); }
    std::int32_t i32At(std::size_t offset) const { return static_cast<std::int32_t>(u32At(offset)); }
    float f32At(std::size_t offset) const { return bitsAs<float>(u32At(offset)); }
    double f64At(std::size_t offset) const { return bitsAs<double>(field<std::uint64_t>(offset)); }
    void f32sAt(std::size_t offset, float* out, std::size_t count) const {
        for (std::size_t i = 0; i < count; ++i) out[i] = f32At(offset + 4 * i);
    }

private:
    bool fail() {
        m_failed = true;
        return false;
    }
    template <class T>
    T field(std::size_t offset) const {
        if (offset > m_size || sizeof(T) > m_size - offset) return 0;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<std::uint64_t>(m_data[offset + i]) << (8 * i);
        return static_cast<T>(value);
    }
    template <class T>
    T next() {
        if (!has(sizeof(T))) {
            fail();
            return 0;
        }
        const T value = field<T>(m_offset);
        m_offset += sizeof(T);
        return value;
    }
    template <class To, class From>
    static To bitsAs(From bits) {
        static_assert(sizeof(To) == sizeof(From), "same width");
        To value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_offset = 0;
    bool m_failed = false;
};

}  // namespace velmar
