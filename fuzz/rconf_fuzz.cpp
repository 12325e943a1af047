// The configuration loader on the file's bytes: the Lua chunk is run (no
// libraries are opened) and the globals are taken into the cvar table, then
// read back through every getter that cannot end the process.
//
// The chunk is a program: a loop or a recursive function would run until the
// fuzzer's timeout and a chain of doubling concatenations would exhaust its
// memory, so inputs with loops, functions or many concatenations are
// skipped (found the way the Lua lexer sees them: comments and strings do
// not count). The instance is made and destroyed each run so the texts it keeps
// do not pile up; its path lies in a folder that does not exist, so the
// rewrite at Destroy fails at once instead of syncing a file each run.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "client/core/rconf.h"

namespace {

constexpr char kUnwritablePath[] = "/nonexistent-quask-fuzz/velmar.cfg";
constexpr std::size_t kMaxConcatenations = 12;

// Length of a long bracket "[[", "[=[", ... opening at `at`, or 0.
std::size_t longOpen(std::string_view text, std::size_t at) {
    if (at >= text.size() || text[at] != '[') return 0;
    std::size_t i = at + 1;
    while (i < text.size() && text[i] == '=') ++i;
    return i < text.size() && text[i] == '[' ? i + 1 - at : 0;
}

// Position after the long bracket that closes one of `openLength`.
std::size_t skipLong(std::string_view text, std::size_t from, std::size_t openLength) {
    std::string close = "]";
    close.append(openLength - 2, '=');
    close += ']';
    const std::size_t end = text.find(close, from);
    return end == std::string_view::npos ? text.size() : end + close.size();
}

// The chunk's code with comments and string contents left out, the way the
// Lua lexer splits them, so a keyword in a comment does not hide the seed.
std::string codeOf(std::string_view text) {
    std::string code;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
            const std::size_t open = longOpen(text, i + 2);
            if (open) {
                i = skipLong(text, i + 2 + open, open);
            } else {
                const std::size_t end = text.find('\n', i);
                i = end == std::string_view::npos ? text.size() : end;
            }
            code += ' ';
        } else if (const std::size_t open = longOpen(text, i)) {
            i = skipLong(text, i + open, open);
            code += " \"\" ";
        } else if (c == '"' || c == '\'') {
            for (++i; i < text.size() && text[i] != c && text[i] != '\n'; ++i)
                if (text[i] == '\\') ++i;
            ++i;
            code += " \"\" ";
        } else {
            code += c;
            ++i;
        }
    }
    return code;
}

bool isNamePart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_';
}

bool hasWord(const std::string& code, const char* word) {
    const std::size_t length = std::strlen(word);
    for (std::size_t at = code.find(word); at != std::string::npos; at = code.find(word, at + 1)) {
        const bool before = at > 0 && isNamePart(code[at - 1]);
        const bool after = at + length < code.size() && isNamePart(code[at + length]);
        if (!before && !after) return true;
    }
    return false;
}

bool runsBounded(std::string_view text) {
    const std::string code = codeOf(text);
    for (const char* word : {"while", "repeat", "for", "function"})
        if (hasWord(code, word)) return false;
    std::size_t concatenations = 0;
    for (std::size_t at = code.find(".."); at != std::string::npos; at = code.find("..", at + 2))
        if (++concatenations > kMaxConcatenations) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!runsBounded(text)) return 0;
    velmar::CRConf* conf = velmar::CRConf::Create(kUnwritablePath);
    conf->LoadConfigFromText("fuzz.cfg", text.data(), text.size());
    volatile float sink = 0.0f;
    for (int i = -1; i <= velmar::RCONF_VAR_COUNT; ++i) {
        sink = sink + static_cast<float>(conf->GetInt(i)) + conf->GetFloat(i) +
               (conf->GetBool(i) ? 1.0f : 0.0f);
    }
    sink = sink + static_cast<float>(std::strlen(conf->GetString(velmar::RCONF_GUITHEME)));
    velmar::CRConf::Destroy();
    return 0;
}
