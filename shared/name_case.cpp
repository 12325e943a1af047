#include "shared/name_case.h"

#include <glib.h>

#include <limits.h>
#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <cwchar>

namespace quask {

namespace {

// Fixed, not the publisher's LC_CTYPE: the same tree must be judged alike
// on every publisher's machine (under tr_TR "I" folds to a dotless i).
locale_t foldLocale() {
    static const locale_t loc = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

std::string foldedCase(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    const locale_t loc = foldLocale();
    const locale_t before = loc ? ::uselocale(loc) : static_cast<locale_t>(nullptr);
    for (std::size_t i = 0; i < name.size();) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) < 0x80 || !loc) {
            folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            ++i;
            continue;
        }
        std::mbstate_t in{};
        wchar_t wide = 0;
        const std::size_t len = std::mbrtowc(&wide, name.data() + i, name.size() - i, &in);
        char out[MB_LEN_MAX];
        std::mbstate_t state{};
        const std::size_t written =
            len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0
                ? static_cast<std::size_t>(-1)
                : std::wcrtomb(out, static_cast<wchar_t>(::towlower(static_cast<wint_t>(wide))), &state);
        if (written == static_cast<std::size_t>(-1)) {
            folded += c;  // no UTF-8 here: the byte stays
            ++i;
            continue;
        }
        folded.append(out, written);
        i += len;
    }
    if (loc) ::uselocale(before);
    return folded;
}

std::string looseNameKey(const std::string& name) {
    if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) {
        gchar* composed = g_utf8_normalize(name.data(), static_cast<gssize>(name.size()), G_NORMALIZE_NFC);
        if (composed) {
            std::string out;
            for (const gchar* p = composed; *p; p = g_utf8_next_char(p)) {
                char letter[6];
                const gunichar upper = g_unichar_toupper(g_utf8_get_char(p));
                out.append(letter, static_cast<std::size_t>(g_unichar_to_utf8(upper, letter)));
            }
            g_free(composed);
            return out;
        }
    }
    std::string out = name;
    for (char& c : out) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return out;
}

std::string pickLooseMatch(const std::vector<std::string>& entries, const std::string& name) {
    // Not strcasecmp: it folds by the process's LC_CTYPE, which the client's
    // window layer takes from the player, and under tr_TR "I" is not the
    // capital of "i".
    const auto asciiUpper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    const auto sameAsciiCase = [&](const std::string& a) {
        if (a.size() != name.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (asciiUpper(a[i]) != asciiUpper(name[i])) return false;
        return true;
    };
    const auto ascii = [](const std::string& text) {
        for (char c : text)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    };
    // Two plain names with one loose key are equal ignoring ASCII case.
    const bool plain = ascii(name);
    std::string best, loose, key;
    for (const std::string& e : entries) {
        if (sameAsciiCase(e)) {
            if (best.empty() || e < best) best = e;
        } else if (best.empty() && !(plain && ascii(e))) {
            if (key.empty()) key = looseNameKey(name);
            if (looseNameKey(e) == key && (loose.empty() || e < loose)) loose = e;
        }
    }
    return best.empty() ? loose : best;
}

}  // namespace quask
