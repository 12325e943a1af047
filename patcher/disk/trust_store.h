// The launcher's trust kept in the game directory beside the revision
// record, so that no launcher program an update brings can lower it:
// data/quillon.root, the newest root of trust the game directory took, and
// data/quillon.mirrors, the last mirror list the publisher vouched for (see
// patcher/protocol/trust_files.h for both layouts). Each is replaced whole
// through a synced temporary and never written or read through a link.
//
// Used by the worker thread.
#pragma once

#include <string>

namespace quillon {

constexpr char kRootStoreLeaf[] = "quillon.root";
constexpr char kMirrorStoreLeaf[] = "quillon.mirrors";

enum class StoreRead { kRead, kMissing, kFailed };
// The file `leaf` of the game's data directory, at most 64 KiB.
StoreRead readTrustStore(const std::string& gameDir, const char* leaf, std::string* bytes);
// Replaces it with `bytes`, durably; false when it could not.
bool writeTrustStore(const std::string& gameDir, const char* leaf, const std::string& bytes);
// Removes it; a file that is not there is gone already.
bool removeTrustStore(const std::string& gameDir, const char* leaf);

}  // namespace quillon
