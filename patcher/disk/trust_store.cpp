#include "patcher/disk/trust_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "patcher/disk/game_tree.h"
#include "shared/replacing_file.h"

namespace quillon {

namespace {

constexpr off_t kMaxStoreBytes = 64 * 1024;
constexpr quask::ReplacingFile::Temporary kTemporary{".tmp", 0644};

}  // namespace

StoreRead readTrustStore(const std::string& gameDir, const char* leaf, std::string* bytes) {
    GameTree tree(gameDir);
    Fd dir = tree.openDir("/data", false);
    if (!dir.valid()) return errno == ENOENT ? StoreRead::kMissing : StoreRead::kFailed;
    // Non-blocking: a FIFO planted at the name must not hang the launcher.
    Fd file(noteDescriptorLimit(::openat(dir.get(), leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
    if (!file.valid()) return errno == ENOENT ? StoreRead::kMissing : StoreRead::kFailed;
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxStoreBytes) return StoreRead::kFailed;
    bytes->assign(static_cast<std::size_t>(st.st_size), '\0');
    return quask::readFully(file.get(), &(*bytes)[0], bytes->size()) ? StoreRead::kRead : StoreRead::kFailed;
}

bool writeTrustStore(const std::string& gameDir, const char* leaf, const std::string& bytes) {
    GameTree tree(gameDir);
    Fd dir = tree.openDir("/data", true);
    quask::ReplacingFile file;
    if (!dir.valid() || !file.openAt(dir.get(), leaf, kTemporary)) return false;
    file.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return file.commit() && file.syncDirectory();
}

bool removeTrustStore(const std::string& gameDir, const char* leaf) {
    GameTree tree(gameDir);
    Fd dir = tree.openDir("/data", false);
    if (!dir.valid()) return errno == ENOENT;
    return ::unlinkat(dir.get(), leaf, 0) == 0 || errno == ENOENT;
}

}  // namespace quillon
