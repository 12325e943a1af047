// Little-endian byte helpers shared by every writer and info reader of
// contentkit: ByteWriter appends fields to a growing buffer, SpanReader reads
// fields from a span and refuses (returns false) instead of reading past its
// end. Both are plain values owned by the caller; no state is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace contentkit {

using Bytes = std::vector<std::uint8_t>;

class ByteWriter {
public:
    explicit ByteWriter(Bytes* out) : m_out(out) {}

    void u8(std::uint8_t v) { m_out->push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void f32(float v) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        u32(bits);
    }
    void bytes(const void* data, std::size_t len) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        m_out->insert(m_out->end(), p, p + len);
    }
    void text(const std::string& s) { bytes(s.data(), s.size()); }
    void zeros(std::size_t n) { m_out->insert(m_out->end(), n, 0); }
    std::size_t size() const { return m_out->size(); }

private:
    Bytes* m_out;
};

class SpanReader {
public:
    SpanReader(const std::uint8_t* data, std::size_t len) : m_data(data), m_len(len) {}

    std::size_t offset() const { return m_pos; }
    std::size_t remaining() const { return m_len - m_pos; }
    bool seek(std::size_t pos) {
        if (pos > m_len) return false;
        m_pos = pos;
        return true;
    }
    bool skip(std::size_t n) {
        if (n > remaining()) return false;
        m_pos += n;
        return true;
    }
    bool u8(std::uint8_t* v) {
        if (remaining() < 1) return false;
        *v = m_data[m_pos++];
        return true;
    }
    bool u16(std::uint16_t* v) {
        if (remaining() < 2) return false;
        *v = static_cast<std::uint16_t>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool u32(std::uint32_t* v) {
        if (remaining() < 4) return false;
        *v = static_cast<std::uint32_t>(m_data[m_pos]) |
             (static_cast<std::uint32_t>(m_data[m_pos + 1]) << 8) |
             (static_cast<std::uint32_t>(m_data[m_pos + 2]) << 16) |
             (static_cast<std::uint32_t>(m_data[m_pos + 3]) << 24);
        m_pos += 4;
        return true;
    }
    bool i32(std::int32_t* v) {
        std::uint32_t u = 0;
        if (!u32(&u)) return false;
        std::memcpy(v, &u, sizeof u);
        return true;
    }
    bool f32(float* v) {
        std::uint32_t u = 0;
        if (!u32(&u)) return false;
        std::memcpy(v, &u, sizeof u);
        return true;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_len;
    std::size_t m_pos = 0;
};

// Reads a little-endian field at a fixed offset; the caller has checked the
// span is long enough.
inline std::uint32_t loadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint16_t loadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace contentkit
