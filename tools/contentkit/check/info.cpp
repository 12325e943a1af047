// The format table, detection, GDF unwrapping and report text.
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/check/info_internal.h"

#include <cstring>

#include "client/storage/gdf.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

bool ddsMagic(const std::uint8_t* data, std::size_t len) {
    return len >= 4 && std::memcmp(data, "DDS ", 4) == 0;
}
bool bmpMagic(const std::uint8_t* data, std::size_t len) {
    return len >= 2 && data[0] == 'B' && data[1] == 'M';
}
bool rfntMagic(const std::uint8_t* data, std::size_t len) {
    return len >= 4 && std::memcmp(data, "RFNT", 4) == 0;
}
bool rmdlMagic(const std::uint8_t* data, std::size_t len) {
    return len >= 4 && std::memcmp(data, "RMDL", 4) == 0;
}
bool rmapMagic(const std::uint8_t* data, std::size_t len) {
    return len >= 4 && std::memcmp(data, "RMAP", 4) == 0;
}

// A packed file keeps its content's name before ".gdf".
std::string contentExtension(const std::string& name) {
    const std::string ext = lowerExtension(name);
    return ext == ".gdf" ? lowerExtension(name.substr(0, name.size() - ext.size())) : ext;
}

}  // namespace

bool holdsHeader(std::size_t len, std::size_t need, const char* what, InfoReport* report) {
    return len >= need || report->fail(strf("file is %zu bytes, shorter than the %zu-byte %s", len, need, what));
}

bool hasMagic(const velmar::ByteReader& file, std::uint32_t magic, InfoReport* report) {
    if (file.u32At(0) == magic) return true;
    const char text[] = {static_cast<char>(magic), static_cast<char>(magic >> 8), static_cast<char>(magic >> 16),
                         static_cast<char>(magic >> 24), '\0'};
    return report->fail(strf("no %s magic ('%s' at offset 0)", report->format.c_str(), text));
}

const std::vector<FormatEntry>& formatTable() {
    static const std::vector<FormatEntry> table = {
        {"DDS", ".dds", ddsMagic, infoDds},
        {"BMP", ".bmp", bmpMagic, infoBmp},
        {"TGA", ".tga", nullptr, infoTga},
        {"DEF", ".def", nullptr, infoDef},
        {"INI", ".ini", nullptr, infoIni},
        {"RFNT", ".dat", rfntMagic, infoRfnt},
        {"RMDL", ".rmdl", rmdlMagic, infoRmdl},
        {"RMAP", ".rmap", rmapMagic, infoRmap},
    };
    return table;
}

const FormatEntry* detectFormat(const std::string& fileName, const std::uint8_t* data,
                                std::size_t len) {
    for (const FormatEntry& entry : formatTable()) {
        if (entry.hasMagic && entry.hasMagic(data, len)) return &entry;
    }
    const std::string ext = contentExtension(fileName);
    for (const FormatEntry& entry : formatTable()) {
        if (ext == entry.extension) return &entry;
    }
    return nullptr;
}

bool inspectFile(const std::string& fileName, const std::uint8_t* data, std::size_t len,
                 InfoReport* report) {
    std::vector<std::uint8_t> content;
    if (velmar::gdfHasMagic(data, len)) {
        const velmar::GdfStatus status = velmar::gdfDecode(data, len, &content);
        report->format = "GDF";
        if (status != velmar::GdfStatus::Ok) {
            return report->fail(std::string("GDF container: ") + velmar::gdfStatusText(status));
        }
        report->field("container", strf("GDF, %zu bytes packed, %zu bytes of content", len,
                                        content.size()));
        data = content.data();
        len = content.size();
    }
    const FormatEntry* entry = detectFormat(fileName, data, len);
    if (!entry) {
        return report->fail("unknown format: no known magic and no known extension "
                            "(.dds .tga .bmp .def .ini)");
    }
    report->format = entry->name;
    return entry->reader(data, len, report);
}

std::string formatReport(const std::string& fileName, const InfoReport& report) {
    std::string out = fileName + ": " + (report.format.empty() ? "?" : report.format) + "\n";
    for (const auto& [name, value] : report.fields) out += "  " + name + ": " + value + "\n";
    for (const std::string& w : report.warnings) out += "  warning: " + w + "\n";
    return out;
}

}  // namespace contentkit
