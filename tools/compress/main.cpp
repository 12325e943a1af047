// tessfold: compresses one file, in memory, into a compressed patch file next
// to it (the last character of the name becomes '_').
//
//   tessfold FILE
//
// Progress goes to standard output; "done." ends a success. Exit status 0
// after "done.", 1 on every failure, 2 for an unknown option. The output is
// written to a temporary file and renamed into place, so a failed write never
// leaves a file behind.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "shared/command_line.h"
#include "shared/patch_file.h"
#include "shared/posix_io.h"

namespace {

using quask::PatchStatus;

const quask::ProgramHelp kHelp{"tessfold",
    "Usage: tessfold FILE\n"
    "Compresses FILE, in memory, into a compressed patch file beside it: the last\n"
    "character of the name is replaced by '_' (map.gdf becomes map.gd_). Needs\n"
    "about three times the file's size in memory. Progress goes to standard\n"
    "output; \"done.\" ends a success.\n"
    "\n"
    "Exit status is 0 after \"done.\", 1 when the file cannot be read, does not\n"
    "shrink or cannot be written or standard output cannot be (then no file is\n"
    "left), and 2 for an unknown option. A FILE whose name starts with '-' is\n"
    "given as ./FILE.\n"
    "\n"
    "Options:\n" +
        std::string(quask::kStandardOptionLines)};

// Not exactly one file: the usage on standard output, status 1.
int usage() {
    std::fputs(kHelp.text.c_str(), stdout);
    return 1;
}

// Why the report first failed to reach standard output (a full disk): the
// later flushes may fail for another reason, or not at all.
int g_reportError = 0;

void flushReport() {
    if (std::fflush(stdout) != 0 && g_reportError == 0) g_reportError = errno != 0 ? errno : EIO;
}

void say(const char* text) {
    std::fputs(text, stdout);
    flushReport();
}

// Callers take "done." and the file together: where the report cannot reach
// them before the write, no file is made, and none is compressed in vain; a
// lost "done." itself still fails the run, its file already in place.
int reportLost() {
    std::fprintf(stderr, "tessfold: cannot write to standard output: %s\n",
                 std::strerror(g_reportError != 0 ? g_reportError : EIO));
    return 1;
}

// True when the open file's size or modification time is no longer `before`.
bool changedSince(int fd, const struct stat& before) {
    struct stat now;
    return ::fstat(fd, &now) != 0 || now.st_size != before.st_size ||
           now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
}

// Reads the whole file; prints the failure and returns null on error.
std::unique_ptr<std::uint8_t[]> readSource(const char* path, std::size_t* size) {
    // Without O_NONBLOCK a FIFO would wait for a writer for ever; it has no
    // size anyway and is refused below like any file that has none.
    const quask::UniqueFd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    int error = 0;
    if (!file.valid() || ::fstat(file.get(), &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    if (error != 0) {
        std::printf("Cannot open '%s'.\n", path);
        std::fprintf(stderr, "tessfold: cannot open '%s': %s\n", path, std::strerror(error));
        return nullptr;
    }
    if (S_ISREG(st.st_mode)) {
        const int flags = ::fcntl(file.get(), F_GETFL);
        if (flags >= 0) (void)::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    if (st.st_size < 1) {
        std::printf("File '%s' is < 1 bytes of size - read error?\n", path);
        return nullptr;
    }
    // The header holds 32-bit sizes.
    if (static_cast<std::uint64_t>(st.st_size) > quask::kPatchMaxContentSize) {
        std::printf("File '%s' is 4 GiB or larger - too large for a patch file.\n", path);
        return nullptr;
    }
    *size = static_cast<std::size_t>(st.st_size);
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[*size]);
    if (!data) {
        say("OOM for unpack data\n");
        return nullptr;
    }
    say(" - Reading Source File... ");
    if (!quask::readFully(file.get(), data.get(), *size)) {
        say("Read Error.\n");
        return nullptr;
    }
    // A file written to meanwhile (still being copied, saved by an editor)
    // gave a mix or a cut-off start of it, which would be published as
    // the whole file.
    if (changedSince(file.get(), st)) {
        say("Read Error.\n");
        std::fprintf(stderr, "tessfold: '%s' changed while it was read\n", path);
        return nullptr;
    }
    say(" done\n");
    return data;
}

void printFailure(PatchStatus status) {
    say("fail\n");
    switch (status) {
        case PatchStatus::Mem: say("mem err\n"); break;
        case PatchStatus::Param: say("param err\n"); break;
        case PatchStatus::OutputEof:
            say("output eof ( - compression really not neccessary!)\n");
            break;
        default: break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    for (int i = 1; i < argc; ++i) {
        if (quask::isOptionWord(argv[i])) return quask::unknownOption(kHelp, argv[i]);
    }
    if (argc != 2 || argv[1][0] == '\0') return usage();
    const char* path = argv[1];

    std::size_t size = 0;
    std::unique_ptr<std::uint8_t[]> source = readSource(path, &size);
    if (!source) return 1;

    const std::size_t capacity = quask::kPatchPrefixSize + size;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[capacity]);
    if (!image) {
        say("OOM for pack data\n");
        return 1;
    }
    say("Compressing ..");
    if (std::ferror(stdout)) return reportLost();
    const std::string inPath = path;
    std::size_t imageSize = 0;
    const PatchStatus status =
        quask::patchCompress(source.get(), size, inPath.back(), image.get(), capacity, &imageSize);
    if (status != PatchStatus::Ok) {
        printFailure(status);
        return 1;
    }
    std::printf("ok (%u=>%u)\n", static_cast<unsigned>(size),
                static_cast<unsigned>(imageSize - quask::kPatchPrefixSize));
    source.reset();

    const std::string outPath = quask::patchPackedPath(inPath);
    // What a tessfold killed while writing left would stay for good.
    quask::removeAbandonedTemporariesBeside(outPath);
    // A patch file made again keeps the permissions the old one was given.
    struct stat old;
    const bool replacing = ::stat(outPath.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    quask::ReplacingFile out;
    if (!out.open(outPath)) {
        const int error = errno;
        std::printf("cannot open output file '%s'\n", outPath.c_str());
        std::fprintf(stderr, "tessfold: cannot open output file '%s': %s\n", outPath.c_str(), std::strerror(error));
        return 1;
    }
    if (replacing) out.setMode(old.st_mode & 0777);
    std::printf("Writing output file '%s'...", outPath.c_str());
    flushReport();
    if (std::ferror(stdout)) return reportLost();
    if (!out.write(image.get(), imageSize) || !out.commit()) {
        // The report keeps its line; the reason goes beside it.
        const int error = errno;
        say("Write Error.\n");
        std::fprintf(stderr, "tessfold: cannot write '%s': %s\n", outPath.c_str(), std::strerror(error));
        return 1;
    }
    say("done.\n");
    if (std::ferror(stdout)) return reportLost();
    return quask::finishOutput("tessfold", 0);
}
