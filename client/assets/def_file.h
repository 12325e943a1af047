// Definition files (Textures.def, model.def): numbered lines that map an ID
// to a file path, comments, and "load" lines that pull in another definition
// file at that point. The texture and model managers share this grammar.
//
// parseDefText works on a byte span and calls its handler once per ID line
// and once per "load" line, in file order; it never reads past the span.
// DefFileReader adds the files: it reads a path with DiskFile, parses it and
// follows "load" lines depth-first, refusing a file that is already being
// parsed and nesting deeper than kDefMaxLoadDepth. Its owner gets every entry
// and every outcome through virtual hooks and does its own logging.
//
// Nothing here touches GL or keeps global state; one reader object belongs
// to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmar {

// Files below the outermost one that may be open at once through "load" lines.
constexpr std::size_t kDefMaxLoadDepth = 16;
// A larger definition file is refused like one that cannot be read.
constexpr std::uint64_t kDefMaxFileBytes = 64ull << 20;

// --- Text grammar ---

class DefTextHandler {
public:
    virtual ~DefTextHandler() = default;
    // "ID: path": the ID as parseDefId reads the key, the path as written.
    virtual void onDefEntry(std::int32_t id, const std::string& path) = 0;
    // "load: path".
    virtual void onDefLoad(const std::string& path) = 0;
};

// Parses the lines of `length` bytes (a NUL byte ends the text earlier) and
// returns the number of ID lines seen. Parsing stops at a key without ':'
// and at a line that the text ends before its line break. A UTF-8 byte order
// mark at the start is skipped.
std::uint32_t parseDefText(const std::uint8_t* data, std::size_t length,
                           DefTextHandler& handler);

// Why the text is not the 8-bit text the grammar reads, or nullptr when it is.
// UTF-16 (Notepad's "Unicode") would otherwise read as an empty file.
const char* defTextEncodingProblem(const std::uint8_t* data, std::size_t length);

// The ID of a key: characters before the first digit or sign are skipped,
// then an optional sign and the digits up to the first non-digit. No digit
// gives 0; values beyond 32 bits are clamped to INT32_MIN / INT32_MAX.
std::int32_t parseDefId(const char* key, std::size_t length);

// --- Files ---

enum class DefLoadRefusal {
    AlreadyOpen,  // the file is being parsed further up the chain
    TooDeep       // a further level would exceed kDefMaxLoadDepth
};

class DefFileReader {
public:
    virtual ~DefFileReader() = default;

    // Reads and parses `path`, following its "load" lines. Returns 1 after
    // the file was read (whatever it held), 0 when it cannot be opened, is
    // empty or too large (onDefReadError has then been called) or is not
    // 8-bit text (onDefEncodingError).
    int readDefFile(const char* path);

protected:
    virtual void onDefEntry(std::int32_t id, const std::string& path) = 0;
    // After each file: its path and its own ID lines (loaded files not counted).
    virtual void onDefLoaded(const char* path, std::uint32_t entries) = 0;
    virtual void onDefReadError(const char* path) = 0;
    // A file read but not parsed, with defTextEncodingProblem's reason; it
    // then counts as a read error.
    virtual void onDefEncodingError(const char* path, const char* why) = 0;
    // A "load" line that was not followed; parsing goes on after it.
    virtual void onDefLoadRefused(const char* path, DefLoadRefusal why) = 0;

private:
    class Walker;
    int readNested(const char* path);

    std::vector<std::string> m_open;  // identities of the files being parsed
};

}  // namespace velmar
