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
        gchar* folded = g_utf8_casefold(name.data(), static_cast<gssize>(name.size()));
        gchar* composed = folded ? g_utf8_normalize(folded, -1, G_NORMALIZE_NFC) : nullptr;
        std::string out = composed ? composed : name;
        g_free(composed);
        g_free(folded);
        return out;
    }
    std::string out = name;
    for (char& c : out) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

}  // namespace quask
