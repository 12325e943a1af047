// The definition-file grammar on a byte span.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/assets/def_file.h"

namespace {
class CountingHandler : public velmar::DefTextHandler {
public:
    void onDefEntry(std::int32_t, const std::string& path) override {
        ++m_entries;
        m_bytes += path.size();
    }
    void onDefLoad(const std::string& path) override { m_bytes += path.size(); }
    std::uint32_t m_entries = 0;
    std::size_t m_bytes = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CountingHandler handler;
    const std::uint32_t seen = velmar::parseDefText(data, size, handler);
    if (seen != handler.m_entries || handler.m_bytes > size) __builtin_trap();
    if (size > 0) velmar::parseDefId(reinterpret_cast<const char*>(data), size);
    return 0;
}
