// The signed files and their keys: the file lists, the root of trust, the
// certificate, the announcement, the mirror list, the publisher's key text
// and the markers of a launcher's program file. The first byte picks the
// parser; a file that parses must come back the same through its writer (one
// spelling per file), and a key or time that parses must be spelled as given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/signature.h"
#include "patcher/protocol/trust_files.h"

namespace {

bool sameMap(const std::map<std::string, quillon::SignedDigest>& a,
             const std::map<std::string, quillon::SignedDigest>& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || !quillon::sameDigest(i->second, j->second)) return false;
    return true;
}

void fileList(std::string_view body) {
    quillon::FileList list, again;
    if (!quillon::parseFileList(body, &list).empty()) return;
    for (const auto& [name, digest] : list.files)
        if (!quillon::isSafeContentName(name)) __builtin_trap();
    if (!quillon::parseFileList(quillon::fileListText(list), &again).empty()) __builtin_trap();
    if (again.kind != list.kind || again.revision != list.revision || !sameMap(again.lists, list.lists) ||
        !sameMap(again.files, list.files))
        __builtin_trap();
}

// Parsed, written and parsed again: the same text both times it is written.
template <typename File, typename Parse, typename Write>
void roundTrip(std::string_view body, Parse parse, Write write) {
    File file, again;
    if (!parse(body, &file).empty()) return;
    const std::string text = write(file);
    if (!parse(text, &again).empty() || write(again) != text) __builtin_trap();
}

void trustFile(unsigned which, std::string_view body) {
    switch (which) {
        case 0:
            roundTrip<quillon::RootOfTrust>(body, quillon::parseRoot, quillon::rootText);
            break;
        case 1:
            roundTrip<quillon::SignerCertificate>(body, quillon::parseCertificate, quillon::certificateText);
            break;
        case 2: {
            roundTrip<quillon::Announcement>(body, quillon::parseAnnouncement, quillon::announcementText);
            quillon::Announcement a;
            if (quillon::parseAnnouncement(body, &a).empty())
                for (const auto& [path, digest] : a.files)
                    if (!quillon::isSafeContentName("/" + path)) __builtin_trap();
            break;
        }
        default:
            roundTrip<quillon::MirrorList>(body, quillon::parseMirrorList, quillon::mirrorListText);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
        case 0: fileList(body); break;
        case 1: {
            const auto key = quillon::parsePublicKey(body);
            std::string_view text = body;
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            if (key && quillon::publicKeyText(*key) != text) __builtin_trap();
            std::int64_t seconds = 0;
            if (quillon::parseUtcTime(body, &seconds) && quillon::utcTimeText(seconds) != body) __builtin_trap();
            break;
        }
        case 2: {
            // A key, a signature and a message out of the bytes: never a crash.
            if (body.size() < 32 + quillon::kSignatureSize) break;
            quillon::PublicKey key;
            std::copy(body.begin(), body.begin() + 32, key.bytes.begin());
            quillon::verifySignature(key, body.substr(32 + quillon::kSignatureSize),
                                     body.substr(32, quillon::kSignatureSize));
            break;
        }
        case 3: {
            const quillon::LauncherMarks marks = quillon::readLauncherMarks(body);
            if (!marks.found && (!marks.key.empty() || !marks.url.empty())) __builtin_trap();
            break;
        }
        default: trustFile(data[0] % 8 - 4, body); break;
    }
    return 0;
}
