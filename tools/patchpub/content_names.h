// Which names of a content directory are content, and how a refused one is
// told: what the launcher, the client and contentkit leave in a game
// directory is never published, and a name players' systems cannot hold is
// warned of or refused with its reason.
#pragma once

#include <cstddef>
#include <string>

namespace patchpub {

// Every system players have allows 255 bytes in a file name; the launcher
// downloads beside the file as "<name>.new", so a longer leaf can never be
// installed (each launcher would fail at that file on every run).
constexpr std::size_t kLongestName = 255;
constexpr std::size_t kLongestLeaf = kLongestName - 4;

// Names are content names ("/data/a.txt").
// Files the launcher keeps for itself in a game directory.
bool isLauncherOwned(const std::string& name);
// What the client writes as players play: why it is not content, or null.
const char* writtenByTheClient(const std::string& name);
// The same, and everything below the screenshots' folder.
bool isClientsOwn(const std::string& name);
// What a killed launcher or contentkit leaves: who left it, or null.
const char* leftBehindBy(const std::string& name);
// A part ends in a dot or a space, which Windows cannot make.
bool unsafeForPlayers(const std::string& name);
// A name as a message shows it, control characters as ^X.
std::string shownName(const std::string& name);
// Why the name cannot be published: launchers would refuse it, or players'
// systems cannot hold it (a character Windows forbids, a device name, bytes
// that are no UTF-8). Empty when it can.
std::string refusalOf(const std::string& name);

}  // namespace patchpub
