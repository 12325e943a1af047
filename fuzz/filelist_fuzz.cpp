// The signed file lists and the publisher's key text. The first byte picks
// the parser; a list that parses must come back the same through the writer
// (one spelling per list), and a key that parses must be spelled as given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/signature.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: fileList(body); break;
        case 1: {
            const auto key = quillon::parsePublicKey(body);
            std::string_view text = body;
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            if (key && quillon::publicKeyText(*key) != text) __builtin_trap();
            break;
        }
        default: {
            // A key, a signature and a message out of the bytes: never a crash.
            if (body.size() < 32 + quillon::kSignatureSize) break;
            quillon::PublicKey key;
            std::copy(body.begin(), body.begin() + 32, key.bytes.begin());
            quillon::verifySignature(key, body.substr(32 + quillon::kSignatureSize),
                                     body.substr(32, quillon::kSignatureSize));
            break;
        }
    }
    return 0;
}
