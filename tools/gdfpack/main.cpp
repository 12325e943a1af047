// gdfpack: writes, unwraps and inspects GDF containers for the client.
//
//   gdfpack pack [-z] [--key-factor N] IN OUT
//   gdfpack unpack IN OUT
//   gdfpack list FILE...
//
// Exit code 0 on success, 1 when a file cannot be read, written or decoded,
// 2 on a malformed command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/storage/disk_file.h"
#include "client/storage/gdf.h"
#include "shared/command_line.h"
#include "shared/out_of_memory.h"
#include "shared/posix_io.h"
#include "shared/replacing_file.h"

namespace {

using velmar::GdfStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kDefaultKeyFactor = 1;

const quask::ProgramHelp kHelp{"gdfpack",
    "Usage: gdfpack pack [-z] [--key-factor N] IN OUT\n"
    "  or:  gdfpack unpack IN OUT\n"
    "  or:  gdfpack list FILE...\n"
    "Writes, unwraps and inspects the GDF containers in which any data file of\n"
    "the game client may be shipped: pack wraps IN into the container OUT,\n"
    "unpack writes the content of the container IN to OUT, list checks each FILE\n"
    "and prints its header. A stored container whose payload is shorter than\n"
    "its size field was cut short: unpack refuses it and list reports it.\n"
    "IN and OUT may be /dev/stdin and /dev/stdout or any pipe or device; an OUT\n"
    "that is a file is replaced whole, keeping its permissions, so a failed\n"
    "write leaves it as it was.\n"
    "\n"
    "Exit status is 0 on success, 1 when a file cannot be read, written or\n"
    "decoded, and 2 for a malformed command line.\n"
    "\n"
    "Options:\n"
    "  -z                 compress the content with zlib\n"
    "      --key-factor N  the key factor stored in the header (default " +
        std::to_string(kDefaultKeyFactor) + ")\n" + quask::kStandardOptionLines};

int usage() { return quask::usageError(kHelp); }
int usage(const std::string& why) { return quask::usageError(kHelp, why); }

int error(const char* path, const char* what) {
    std::fprintf(stderr, "gdfpack: %s: %s\n", path, what);
    return 1;
}

// A write that failed, with the system's reason (a full disk, a name too long).
int writeError(const char* path) {
    const std::string what = std::string("cannot write file: ") + std::strerror(errno);
    return error(path, what.c_str());
}

// --- Files ---

// The client measures a file in 31 bits, whatever the size field could hold.
const char* const kTooLargeText = "file too large: the game reads files of at most 2147483647 bytes";

// Read to its end: a pipe or a device (/dev/stdin, a process substitution)
// has no size to ask for.
bool readToEnd(const char* path, Bytes* out, std::string* why) {
    const quask::UniqueFd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        *why = std::string("cannot open file: ") + std::strerror(errno);
        return false;
    }
    out->clear();
    std::uint8_t chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *why = std::string("read error: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        if (out->size() + static_cast<std::size_t>(got) > velmar::kGdfMaxSize) {
            *why = kTooLargeText;
            return false;
        }
        out->insert(out->end(), chunk, chunk + got);
    }
}

// A file that is there as named is read by that name, bytes and all (a
// backslash is no separator here); only a name that is not there goes to
// the client's own rule, which also finds it in another letter case or
// with backslashes for slashes.
bool readFile(const char* path, Bytes* out, std::string* why) {
    struct stat st;
    const bool there = ::stat(path, &st) == 0;
    const int missing = errno;
    if (there && !S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode)) return readToEnd(path, out, why);
        if (static_cast<std::uint64_t>(st.st_size) > velmar::kGdfMaxSize) {
            *why = kTooLargeText;
            return false;
        }
        const quask::UniqueFd in(::open(path, O_RDONLY | O_CLOEXEC));
        if (!in.valid()) {
            *why = std::string("cannot open file: ") + std::strerror(errno);
            return false;
        }
        out->resize(static_cast<std::size_t>(st.st_size));
        if (!quask::readFully(in.get(), out->data(), out->size())) {
            *why = std::string("read error: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    velmar::DiskFile file;
    if (!file.Open(path, velmar::kFileReadOnly).isOpen()) {
        // Neither there as named nor found another way, or a folder.
        *why = std::string("cannot open file: ") + std::strerror(there ? EISDIR : missing);
        return false;
    }
    const std::uint64_t size = file.GetSize();
    if (size > velmar::kGdfMaxSize) {
        *why = kTooLargeText;
        return false;
    }
    out->resize(static_cast<std::size_t>(size));
    if (size > 0 && file.Read(out->data(), out->size()) != out->size()) {
        *why = std::string("read error: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// A regular file is replaced through a temporary file and a rename, so a
// failed write (a full disk) leaves the one that was there as it was; a link
// to one replaces the file it names and stays a link. Anything else that
// stands there (/dev/null, a pipe) is written to as it is: a rename would put
// a plain file in place of the device. So is our own standard output or
// error named as a file (/dev/stdout redirected to a file): at its place in
// it, after what the shell wrote there before.
bool writeFile(const char* path, const Bytes& data) {
    struct stat target;
    if (::stat(path, &target) == 0) {
        if (S_ISDIR(target.st_mode)) {
            errno = EISDIR;
            return false;
        }
        for (const int standard : {STDOUT_FILENO, STDERR_FILENO}) {
            struct stat opened;
            if (S_ISREG(target.st_mode) && ::fstat(standard, &opened) == 0 &&
                opened.st_dev == target.st_dev && opened.st_ino == target.st_ino) {
                return quask::writeFully(standard, data.data(), data.size());
            }
        }
        if (!S_ISREG(target.st_mode)) {
            const quask::UniqueFd out(::open(path, O_WRONLY | O_CLOEXEC));
            return out.valid() && quask::writeFully(out.get(), data.data(), data.size());
        }
    }
    struct stat link;
    char resolved[PATH_MAX];
    const bool throughLink = ::lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && ::realpath(path, resolved);
    const std::string file = throughLink ? resolved : path;
    quask::removeAbandonedTemporariesBeside(file);
    // The file it replaces keeps its permissions (a private one stays private).
    struct stat old;
    const bool replacing = ::stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    quask::ReplacingFile out;
    if (!out.open(file)) return false;
    if (replacing) out.setMode(old.st_mode & 07777);
    return out.write(data.data(), data.size()) && out.commit();
}

bool parseKeyFactor(const char* text, std::uint32_t* out) {
    if (!text || !*text || *text == '-' || *text == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

// --- Commands ---

// The client takes a stored payload whatever the size field says, so only
// this tool can tell that a file lost its end.
const char* const kCutShortText = "cut short: the payload is smaller than the size field";
bool cutShort(const velmar::GdfHeader& header, std::size_t fileSize) {
    return !header.compressed() && fileSize - velmar::kGdfHeaderSize < header.contentSize();
}

int pack(int argc, char** argv) {
    bool compress = false;
    std::uint32_t keyFactor = kDefaultKeyFactor;
    std::vector<const char*> paths;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-z") == 0) {
            compress = true;
        } else if (std::strcmp(argv[i], "--key-factor") == 0) {
            if (i + 1 >= argc) return usage("--key-factor takes a number");
            if (!parseKeyFactor(argv[i + 1], &keyFactor)) {
                return usage("--key-factor takes a number from 0 to 4294967295, not '" +
                             std::string(argv[i + 1]) + "'");
            }
            ++i;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return quask::unknownOption(kHelp, argv[i]);
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.size() != 2) return usage("pack takes IN and OUT");

    Bytes content;
    std::string why;
    if (!readFile(paths[0], &content, &why)) return error(paths[0], why.c_str());
    if (content.empty() && !compress) {
        return error(paths[0], "empty content needs -z (the payload may not be empty)");
    }
    const Bytes packed = velmar::gdfPack(content.data(), content.size(), compress, keyFactor);
    if (packed.empty()) return error(paths[0], "content too large for a container");
    if (!writeFile(paths[1], packed)) return writeError(paths[1]);
    return 0;
}

int unpack(int argc, char** argv) {
    if (argc != 2) return usage("unpack takes IN and OUT");
    Bytes data;
    std::string why;
    if (!readFile(argv[0], &data, &why)) return error(argv[0], why.c_str());
    Bytes content;
    const GdfStatus status = velmar::gdfDecode(data.data(), data.size(), &content);
    if (status != GdfStatus::Ok) return error(argv[0], velmar::gdfStatusText(status));
    velmar::GdfHeader header;
    if (velmar::gdfReadHeader(data.data(), data.size(), &header) == GdfStatus::Ok &&
        cutShort(header, data.size())) {
        return error(argv[0], kCutShortText);
    }
    if (!writeFile(argv[1], content)) return writeError(argv[1]);
    return 0;
}

int listOne(const char* path) {
    Bytes data;
    std::string why;
    if (!readFile(path, &data, &why)) return error(path, why.c_str());
    velmar::GdfHeader header;
    GdfStatus status = velmar::gdfReadHeader(data.data(), data.size(), &header);
    if (status != GdfStatus::Ok) return error(path, velmar::gdfStatusText(status));

    Bytes content;
    if (header.compressed()) status = velmar::gdfDecode(data.data(), data.size(), &content);
    const std::size_t payload = data.size() - velmar::kGdfHeaderSize;
    const bool shortened = cutShort(header, data.size());
    const char* verdict = shortened                  ? "CUT SHORT"
                          : !header.compressed()      ? "stored, content is the payload"
                          : status == GdfStatus::Ok ? "inflates to the size field"
                                                    : "BROKEN";
    std::printf("%s: magic GDF1, flags 0x%x, size field %" PRIu64 ", payload %zu bytes, "
                "key factor %" PRIu32 ", %s\n",
                path, static_cast<unsigned>(header.sizeAndFlags & 0xF), header.contentSize(),
                payload, header.keyFactor, verdict);
    if (status != GdfStatus::Ok) return error(path, velmar::gdfStatusText(status));
    if (shortened) return error(path, kCutShortText);
    return 0;
}

int list(int argc, char** argv) {
    if (argc < 1) return usage("list takes one FILE or more");
    int result = 0;
    for (int i = 0; i < argc; ++i) {
        if (listOne(argv[i]) != 0) result = 1;
    }
    // What list prints is its result: a report that cannot be written (a
    // full disk) is a failure.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "gdfpack: cannot write the listing\n");
        return 1;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    quask::endOnUncaughtOutOfMemory("gdfpack");
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "pack") return pack(argc - 2, argv + 2);
    if (command == "unpack") return unpack(argc - 2, argv + 2);
    if (command == "list") return list(argc - 2, argv + 2);
    if (quask::isOptionWord(argv[1])) return quask::unknownOption(kHelp, argv[1]);
    return usage("unknown command '" + command + "'");
}
