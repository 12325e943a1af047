// What contentkit's command files share: the help and usage texts, the
// failure line, reading the files a command or a map names, and the
// commands that write into a game directory (cli_game_dir.cpp).
#pragma once

#include <string>

#include "shared/command_line.h"
#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

const quask::ProgramHelp& help();
int usage();
// A command line that names a wrong value: which one, then the usage.
int usageBecause(const char* command, const std::string& why);
// `text` in single quotes, or "nothing".
std::string quoted(const char* text);
// "contentkit: PATH: WHAT" on stderr; 1.
int fail(const std::string& path, const std::string& what);
// Why a game directory cannot be written now: another writer holds it.
extern const char kGameDirBusy[];

// A whole file of at most 1 GiB; false with the reason.
bool readFile(const std::string& path, Bytes* out, std::string* why);
// A file that a map or model names, found as its author's system finds it.
bool readNamedFile(const std::string& named, Bytes* out, std::string* why);
// A whole decimal number from `low` to `high`.
bool parseInt(const char* text, long low, long high, long* out);

int importTiledCommand(int argc, char** argv);
int buildDemoCommand(int argc, char** argv);

}  // namespace contentkit
