// Definition file writer (Textures.def, model.def): ID lines mapping a
// numeric ID to a path, "load" lines that pull in another definition file,
// comments and blank lines, each ended by a line break (the client ignores a
// last line without one).
//
// The writer refuses what the client would read differently from what was
// meant: a path with a line break or NUL, a path starting with a blank (the
// reader skips those) or ending with one (the reader keeps those). Stateless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

struct DefLine {
    enum class Kind { Entry, Include, Comment, Blank };
    Kind kind = Kind::Blank;
    std::int32_t id = 0;   // Entry only
    std::string text;      // path for Entry and Include, text for Comment
};

struct DefFile {
    std::vector<DefLine> lines;
    bool crlf = true;  // line breaks as CR LF (content is shared with Windows)

    DefFile& entry(std::int32_t id, const std::string& path);
    DefFile& include(const std::string& path);
    DefFile& comment(const std::string& text);
    DefFile& blank();
};

// Entry lines come out as "ID: path", includes as "load: path", comments as
// "// text".
bool writeDef(const DefFile& def, Bytes* out, std::string* error);

}  // namespace contentkit
