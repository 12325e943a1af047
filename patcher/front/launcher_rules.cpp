#include "patcher/front/launcher_rules.h"

#include <glib.h>

#include <cstdint>
#include <string_view>

#include "shared/message_box.h"
#include "shared/terminal_text.h"

namespace quillon {

const char* const kCloseQuestion =
    "The Launcher is currently Updating GameContent.\n\nAre you sure that you want to Close the "
    "Launcher?\n\nThis will probably damage the Game Content files!\n";
const char* const kFullCheckQuestion =
    "A Fullcheck will check the whole GameContent.\nIf there were errors found,\nthe inconsistent "
    "content will be redownloaded.\n\nAre you sure to do a Fullcheck?\n(This can take a while)";
const char* const kLaunchFailedText =
    "Unable to Launch the Game, Please try again.\n\nIf the Problem persists - Contact the Support.";

CloseAction closeAction(bool updating, const quask::BoxResult* answer) {
    if (!updating) return CloseAction::Quit;
    if (!answer) return CloseAction::Ask;
    return *answer == quask::BoxResult::Yes ? CloseAction::Quit : CloseAction::Stay;
}

// --- Texts ---

std::string displayText(const std::string& serverText) {
    if (g_utf8_validate(serverText.data(), static_cast<gssize>(serverText.size()), nullptr))
        return serverText;
    std::string bytes = serverText;
    for (char& c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        // The converter refuses the code page's holes; an embedded NUL would
        // cut the converted text short.
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D || b == 0) c = '?';
    }
    gsize written = 0;
    gchar* utf8 = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", "WINDOWS-1252",
                            nullptr, &written, nullptr);
    if (!utf8) return g_utf8_make_valid(serverText.c_str(), -1);  // no such converter here
    std::string out(utf8, written);
    g_free(utf8);
    return out;
}

namespace {

// The length of `text` cut to at most `max` bytes without splitting a
// UTF-8 sequence.
std::size_t utf8Cut(std::string_view text, std::size_t max) {
    if (text.size() <= max) return text.size();
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

std::string terminalText(const std::string& serverText) { return quask::terminalSafe(displayText(serverText)); }

std::string noticeForWindow(const std::string& utf8) {
    std::string out;
    std::size_t pos = 0;
    while (pos < utf8.size() && out.size() < kNoticeShownBytes) {
        std::size_t end = utf8.find('\n', pos);
        end = end == std::string::npos ? utf8.size() : end + 1;
        std::string_view line(utf8.data() + pos, end - pos);
        pos = end;
        if (line.size() <= kNoticeLineBytes) {
            out.append(line);
            continue;
        }
        const bool ended = line.back() == '\n';
        out.append(line.substr(0, utf8Cut(line, kNoticeLineBytes)));
        out += " [...]";
        if (ended) out += "\r\n";
    }
    if (pos < utf8.size())
        out += "\r\n[" + std::to_string(utf8.size() - pos) + " more bytes of the notice are not shown]";
    return out;
}

// --- Layout ---

namespace {

// a * b / c rounded half away from zero, for the small positive values of a
// dialog template.
int mulDivRound(int a, int b, int c) {
    if (c <= 0) return 0;
    const std::int64_t p = static_cast<std::int64_t>(a) * b;
    const std::int64_t q = (p >= 0 ? p + c / 2 : p - c / 2) / c;
    return static_cast<int>(q);
}

}  // namespace

DialogRect dialogToPixels(const DialogRect& u, const DialogBaseUnits& base) {
    return DialogRect{mulDivRound(u.x, base.x, 4), mulDivRound(u.y, base.y, 8),
                      mulDivRound(u.width, base.x, 4), mulDivRound(u.height, base.y, 8)};
}

DialogBaseUnits baseUnitsFromFont(int lettersWidth, int lineHeight) {
    DialogBaseUnits base;
    if (lettersWidth > 0) base.x = (lettersWidth / 26 + 1) / 2;  // rounded average of 52
    if (lineHeight > 0) base.y = lineHeight;
    if (base.x < 1) base.x = 1;
    return base;
}

}  // namespace quillon
