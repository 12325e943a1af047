// Info readers: each one takes a whole file as a byte span, fills an
// InfoReport with the header fields and counts, checks the file the way the
// client will read it (counts against sizes, indices in range, texts that
// would be cut) and says whether the file is usable. Readers never read
// outside the span and never allocate from a count in the file.
//
// The format table maps a file to its reader by magic and file name; new
// formats add a reader and one table row. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace contentkit {

struct InfoReport {
    std::string format;                                       // "DDS", "TGA", ...
    std::vector<std::pair<std::string, std::string>> fields;  // header and counts
    std::vector<std::string> warnings;                        // usable, but worth a look
    std::string error;                                        // first fault; empty when usable

    bool ok() const { return error.empty(); }
    void field(const std::string& name, const std::string& value) { fields.emplace_back(name, value); }
    void warn(const std::string& text) { warnings.push_back(text); }
    // Records the fault and returns false, so readers can `return report->fail(...)`.
    bool fail(const std::string& text) {
        error = text;
        return false;
    }
};

using InfoReader = bool (*)(const std::uint8_t* data, std::size_t len, InfoReport* report);

bool infoDds(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoTga(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoBmp(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoDef(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoIni(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoRfnt(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoRmdl(const std::uint8_t* data, std::size_t len, InfoReport* report);
bool infoRmap(const std::uint8_t* data, std::size_t len, InfoReport* report);

struct FormatEntry {
    const char* name;        // as shown in reports
    const char* extension;   // lower case, with the dot
    bool (*hasMagic)(const std::uint8_t* data, std::size_t len);  // null: name only
    InfoReader reader;
};

const std::vector<FormatEntry>& formatTable();

// Magic first, then the file name's extension (letter case ignored; a
// trailing ".gdf" is looked through). Null when nothing matches.
const FormatEntry* detectFormat(const std::string& fileName, const std::uint8_t* data,
                                std::size_t len);

// Unwraps a GDF container, detects the format and runs its reader. False
// with report->error set when the container, the format or the file is bad.
bool inspectFile(const std::string& fileName, const std::uint8_t* data, std::size_t len,
                 InfoReport* report);

// The report as printed by `contentkit info`: the name and format, one
// indented line per field, then "warning:" lines.
std::string formatReport(const std::string& fileName, const InfoReport& report);

}  // namespace contentkit
