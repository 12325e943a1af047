// The ini reader: parse, then the lookups the map and water reads make.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/storage/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const velmar::IniDocument doc = velmar::IniDocument::parse(data, size);
    static const char* const kKeys[][2] = {
        {"Water", "Type"}, {"water", "level"}, {"Map", "Name"}, {"", ""}, {"a", "b"}};
    for (const auto& key : kKeys) {
        const std::string* value = doc.find(key[0], key[1]);
        if (value) velmar::iniParseInt(*value);
    }
    velmar::iniParseInt(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
