// Definition file writing with the checks that keep paths intact.
#include "tools/contentkit/formats/def_writer.h"

#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool checkPath(const std::string& path, std::size_t lineNo, std::string* error) {
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    if (path.empty()) {
        *error = where + "path is empty";
    } else if (hasLineBreak(path)) {
        *error = where + "path contains a line break or NUL";
    } else if (isBlank(path.front())) {
        *error = where + "path starts with a blank, which the reader skips";
    } else if (isBlank(path.back())) {
        *error = where + "path ends with a blank, which the reader keeps";
    } else {
        return true;
    }
    return false;
}

}  // namespace

DefFile& DefFile::entry(std::int32_t id, const std::string& path) {
    lines.push_back({DefLine::Kind::Entry, id, path});
    return *this;
}
DefFile& DefFile::include(const std::string& path) {
    lines.push_back({DefLine::Kind::Include, 0, path});
    return *this;
}
DefFile& DefFile::comment(const std::string& text) {
    lines.push_back({DefLine::Kind::Comment, 0, text});
    return *this;
}
DefFile& DefFile::blank() {
    lines.push_back({DefLine::Kind::Blank, 0, std::string()});
    return *this;
}

bool writeDef(const DefFile& def, Bytes* out, std::string* error) {
    std::string text;
    const char* eol = def.crlf ? "\r\n" : "\n";
    std::size_t lineNo = 0;
    for (const DefLine& line : def.lines) {
        ++lineNo;
        switch (line.kind) {
            case DefLine::Kind::Entry:
                if (!checkPath(line.text, lineNo, error)) return false;
                text += std::to_string(line.id) + ": " + line.text;
                break;
            case DefLine::Kind::Include:
                if (!checkPath(line.text, lineNo, error)) return false;
                text += "load: " + line.text;
                break;
            case DefLine::Kind::Comment:
                if (hasLineBreak(line.text)) {
                    *error = "line " + std::to_string(lineNo) + ": comment contains a line break or NUL";
                    return false;
                }
                text += "// " + line.text;
                break;
            case DefLine::Kind::Blank:
                break;
        }
        text += eol;
    }
    out->assign(text.begin(), text.end());
    return true;
}

}  // namespace contentkit
