// Definition file info: walks the text with the client's line rules and
// reports every place where it would read something other than what the
// author most likely meant.
#include <climits>
#include <map>

#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

bool isBlank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isBreak(std::uint8_t c) { return c == '\r' || c == '\n'; }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

struct DefScan {
    const std::uint8_t* data = nullptr;
    std::size_t len = 0;
    std::size_t line = 1;  // line number of the current position
    std::size_t entries = 0, includes = 0, comments = 0;
    std::map<std::int32_t, std::size_t> ids;  // ID -> line it was last defined on
};

void advance(DefScan* s, std::size_t* pos, std::size_t to) {
    for (; *pos < to; ++*pos) {
        if (s->data[*pos] == '\n' || (s->data[*pos] == '\r' &&
                                      (*pos + 1 >= s->len || s->data[*pos + 1] != '\n'))) {
            ++s->line;
        }
    }
}

// The ID as the client reads the key: skip to the first digit or sign, an
// optional sign, then digits. False when it does not fit 32 bits.
bool parseId(const std::string& key, std::int32_t* id, bool* hasDigit) {
    std::size_t i = 0;
    while (i < key.size() && !isDigit(key[i]) && key[i] != '+' && key[i] != '-') ++i;
    bool negative = false;
    if (i < key.size() && (key[i] == '+' || key[i] == '-')) negative = key[i++] == '-';
    long long value = 0;
    *hasDigit = false;
    for (; i < key.size() && isDigit(key[i]); ++i) {
        *hasDigit = true;
        value = value * 10 + (key[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return false;
    *id = static_cast<std::int32_t>(value);
    return true;
}

bool idLine(DefScan* s, const std::string& key, std::size_t colon, std::size_t end,
            InfoReport* report) {
    const std::size_t line = s->line;
    std::int32_t id = 0;
    bool hasDigit = false;
    if (!parseId(key, &id, &hasDigit)) {
        return report->fail(strf("line %zu: ID '%s' does not fit 32 bits", line, key.c_str()));
    }
    if (!hasDigit) report->warn(strf("line %zu: key '%s' holds no digit and defines ID 0", line,
                                     key.c_str()));
    // The reader always drops the character after ':'.
    if (colon + 1 >= end || (s->data[colon + 1] != ' ' && s->data[colon + 1] != '\t')) {
        return report->fail(strf("line %zu: write 'ID: path'; the character after ':' is dropped",
                                 line));
    }
    std::size_t v = colon + 2;
    while (v < end && (s->data[v] == ' ' || s->data[v] == '\t')) ++v;
    if (v == end) return report->fail(strf("line %zu: ID %d has no path", line, id));
    if (s->data[end - 1] == '\t') {
        report->warn(strf("line %zu: path ends with a tab, which is kept and names no file", line));
    } else if (s->data[end - 1] == ' ') {
        report->warn(strf("line %zu: path ends with a blank; the game drops it as Windows does", line));
    }
    auto it = s->ids.find(id);
    if (it != s->ids.end()) {
        report->warn(strf("line %zu: ID %d again (line %zu); the later line wins", line, id, it->second));
    }
    s->ids[id] = line;
    ++s->entries;
    return true;
}

bool includeLine(DefScan* s, std::size_t colon, std::size_t end, InfoReport* report) {
    std::size_t v = colon + 1;
    while (v < end && (s->data[v] == ' ' || s->data[v] == '\t')) ++v;
    if (v == end) return report->fail(strf("line %zu: load without a path", s->line));
    report->field(strf("load (line %zu)", s->line),
                  std::string(reinterpret_cast<const char*>(s->data + v), end - v));
    ++s->includes;
    return true;
}

bool scanLines(DefScan* s, InfoReport* report) {
    std::size_t pos = 0;
    while (true) {
        while (pos < s->len && isBlank(s->data[pos])) advance(s, &pos, pos + 1);
        if (pos >= s->len) return true;
        if (s->data[pos] == 0) {
            for (std::size_t i = pos; i < s->len; ++i) {
                if (s->data[i] != 0 && !isBlank(s->data[i])) {
                    return report->fail(strf("NUL byte at offset %zu ends the text; line %zu and "
                                             "after are never read", pos, s->line));
                }
            }
            report->warn(strf("NUL byte at offset %zu ends the text", pos));
            return true;
        }
        std::size_t end = pos;
        while (end < s->len && !isBreak(s->data[end]) && s->data[end] != 0) ++end;
        const bool comment = s->data[pos] == ';' ||
                             (s->data[pos] == '/' && pos + 1 < s->len && s->data[pos + 1] == '/');
        if (comment) {
            ++s->comments;
            pos = end;
            continue;
        }
        if (end == s->len || s->data[end] == 0) {
            return report->fail(strf("line %zu has no line break at its end and is never read",
                                     s->line));
        }
        std::size_t colon = pos;
        while (colon < end && s->data[colon] != ':') ++colon;
        if (colon == end) {
            return report->fail(strf("line %zu: no ':' after the key; reading stops here", s->line));
        }
        const std::string key(reinterpret_cast<const char*>(s->data + pos), colon - pos);
        const bool ok = key == "load" ? includeLine(s, colon, end, report)
                                      : idLine(s, key, colon, end, report);
        if (!ok) return false;
        pos = end;
    }
}

}  // namespace

bool infoDef(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "DEF";
    if (len >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF)))
        return report->fail("UTF-16 text is not read (the client skips the file); save it as UTF-8 or ANSI");
    DefScan scan;
    // The client reads past a UTF-8 byte order mark.
    const std::size_t mark = byteOrderMarkLength(data, len);
    scan.data = data + mark;
    scan.len = len - mark;
    const bool ok = scanLines(&scan, report);
    report->field("entries", strf("%zu", scan.entries));
    report->field("distinct IDs", strf("%zu", scan.ids.size()));
    report->field("load lines", strf("%zu", scan.includes));
    report->field("comments", strf("%zu", scan.comments));
    if (!scan.ids.empty()) {
        report->field("ID range", strf("%d .. %d", scan.ids.begin()->first, scan.ids.rbegin()->first));
    }
    if (ok && len == 0) return report->fail("file is empty; the client reports a read error");
    if (ok && scan.entries == 0 && scan.includes == 0) report->warn("no entries and no load lines");
    return ok;
}

}  // namespace contentkit
