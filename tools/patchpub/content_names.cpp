#include "tools/patchpub/content_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "patcher/protocol/line_files.h"
#include "shared/terminal_text.h"

namespace patchpub {

namespace {

std::string leafOf(const std::string& name) { return name.substr(name.rfind('/') + 1); }

}  // namespace

// Files the launcher keeps for itself in a game directory; a content tree
// copied from an installed game carries them, but they are never content.
bool isLauncherOwned(const std::string& name) {
    for (const char* own : {"/data/quillon.dat", "/data/quillon.lock", "/data/quillon.root", "/data/quillon.mirrors"})
        if (name == own || name == std::string(own) + ".tmp") return true;
    return name == "/quillon_old" || name == "/DoFullCheck";
}

// What the client writes in its game directory as it runs; published, it
// would replace every player's own, and a full check would put the
// publisher's back over the player's. Why it is not content, or null.
const char* writtenByTheClient(const std::string& name) {
    // The settings, and each broken text of them kept beside ("velmar.cfg.bad",
    // then ".bad.2" to ".bad.9").
    const bool keptSettings = name == "/velmar.cfg.bad" ||
                              (name.size() == 17 && name.rfind("/velmar.cfg.bad.", 0) == 0 && name[16] >= '2' && name[16] <= '9');
    if (name == "/velmar.cfg" || keptSettings) return "the player's settings, which the client writes";
    if (name == "/log/LastRun.log" || name == "/log/CEGUI.log") return "the client's log";
    if (name == "/ScreenShots") return "the player's screenshots";
    return nullptr;
}

bool isClientsOwn(const std::string& name) {
    return writtenByTheClient(name) || name.rfind("/ScreenShots/", 0) == 0;
}

// What an interrupted launcher leaves: staging files ("<name>.new", a suffix
// no content name may have) and the unpacker's temporaries; and what a
// contentkit run killed before its rename leaves (".<name>.contentkit.tmp").
// Who left it, or null for content.
const char* leftBehindBy(const std::string& name) {
    const std::string leaf = leafOf(name);
    const auto endsWith = [&leaf](const std::string& end) {
        return leaf.size() > end.size() && leaf.compare(leaf.size() - end.size(), end.size(), end) == 0;
    };
    const bool unpackTemp = leaf.rfind(".quask-", 0) == 0 && leaf.size() > 11 && endsWith(".tmp");
    if (unpackTemp || (leaf.size() >= 4 && leaf.compare(leaf.size() - 4, 4, ".new") == 0)) return "the launcher";
    if (leaf[0] == '.' && leaf.size() > 16 && endsWith(".contentkit.tmp")) return "contentkit";
    return nullptr;
}

// A name the launcher takes that a player's system may not: a part that
// ends in a dot or a space cannot be made on Windows.
bool unsafeForPlayers(const std::string& name) {
    for (std::size_t end = name.find('/', 1);; end = name.find('/', end + 1)) {
        const std::size_t stop = end == std::string::npos ? name.size() : end;
        if (stop > 0 && (name[stop - 1] == '.' || name[stop - 1] == ' ')) return true;
        if (end == std::string::npos) return false;
    }
}

// A content name as a message shows it: a control character in a name must
// not reach the publisher's terminal raw, nor a line break split the line.
std::string shownName(const std::string& name) {
    std::string shown;
    for (char c : quask::terminalSafe(name)) {
        if (c == '\n') shown += "^J";
        else if (c == '\t') shown += "^I";
        else shown += c;
    }
    return shown;
}

namespace {

// Why launchers refuse a name, so the publisher knows what to rename.
std::string launcherRefusal(const std::string& name) {
    if (quillon::hasStagingSuffix(name)) return "a part ends in \".new\", the name of the launcher's downloads";
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ':') return "players' systems allow no ':' in a name";
        if (c == '\\') return "a backslash separates folders on players' systems";
        if (u < 0x20 || u == 0x7F) return "it holds a control character";
    }
    return "launchers do not take it";
}

// Whether `text` is UTF-8 in its shortest form, surrogates excluded: a name
// in another encoding has no spelling on a system that keeps names in UTF-16.
bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length =
            lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// The device a part names on Windows ("CON", "COM1"), upper-cased, whatever
// follows its first dot: "nul.dds" opens the null device there, not a file.
std::string deviceNamed(const std::string& part) {
    std::string stem = part.substr(0, part.find('.'));
    for (char& c : stem) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    for (const char* device : {"CON", "PRN", "AUX", "NUL"})
        if (stem == device) return stem;
    const bool numbered = stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) &&
                          stem[3] >= '1' && stem[3] <= '9';
    return numbered ? stem : std::string();
}

// Why a name launchers take cannot be made on a player's system, or empty.
std::string playersRefusal(const std::string& name) {
    if (!isUtf8(name)) return "players' systems take no name that is not UTF-8";
    for (char c : name)
        if (std::strchr("?*|\"<>", c)) return std::string("players' systems allow no '") + c + "' in a name";
    for (std::size_t start = 1; start < name.size();) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string device = deviceNamed(name.substr(start, end - start));
        if (!device.empty()) return "'" + device + "' is a device name on players' systems";
        start = end + 1;
    }
    return std::string();
}

}  // namespace

std::string refusalOf(const std::string& name) {
    return quillon::isSafeContentName(name) ? playersRefusal(name) : launcherRefusal(name);
}

}  // namespace patchpub
