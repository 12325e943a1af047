// The little-endian writer shared by every writer of contentkit: ByteWriter
// appends fields to a growing buffer the caller owns. The info readers read
// through the client's own bounded reader (client/storage/byte_reader.h), so
// both sides of each format decode fields alike.
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

}  // namespace contentkit
