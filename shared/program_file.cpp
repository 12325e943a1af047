#include "shared/program_file.h"

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace quask {

namespace {

#if UINTPTR_MAX > 0xFFFFFFFFu
using Ehdr = Elf64_Ehdr;
using Phdr = Elf64_Phdr;
constexpr unsigned char kClass = ELFCLASS64;
#else
using Ehdr = Elf32_Ehdr;
using Phdr = Elf32_Phdr;
constexpr unsigned char kClass = ELFCLASS32;
#endif

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kByteOrder = ELFDATA2LSB;
#else
constexpr unsigned char kByteOrder = ELFDATA2MSB;
#endif

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#else
constexpr int kMachine = -1;  // any processor: running it decides
#endif

// The most read of a file to find its program headers.
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::uint64_t kMaxHeaderTable = 1 << 20;

// `offset + count * size` within `limit`, without overflow.
bool tableFits(std::uint64_t offset, std::uint64_t count, std::uint64_t size, std::uint64_t limit) {
    if (offset > limit || (size != 0 && count > (limit - offset) / size)) return false;
    return true;
}

}  // namespace

ProgramCheck checkProgramBytes(const std::uint8_t* data, std::size_t len, std::uint64_t fileSize) {
    if (!data || len < EI_NIDENT || std::memcmp(data, ELFMAG, SELFMAG) != 0) return ProgramCheck::NotElf;
    if (data[EI_CLASS] != kClass || data[EI_DATA] != kByteOrder) return ProgramCheck::OtherMachine;
    if (len < sizeof(Ehdr) || fileSize < sizeof(Ehdr)) return ProgramCheck::Truncated;
    Ehdr h;
    std::memcpy(&h, data, sizeof h);  // our own byte order, checked above
    if ((h.e_type != ET_EXEC && h.e_type != ET_DYN) || (kMachine >= 0 && h.e_machine != kMachine))
        return ProgramCheck::OtherMachine;
    if (h.e_phnum == 0 || h.e_phentsize != sizeof(Phdr)) return ProgramCheck::OtherMachine;
    if (!tableFits(h.e_phoff, h.e_phnum, sizeof(Phdr), fileSize) ||
        (h.e_shoff != 0 && !tableFits(h.e_shoff, h.e_shnum, h.e_shentsize, fileSize)))
        return ProgramCheck::Truncated;
    if (!tableFits(h.e_phoff, h.e_phnum, sizeof(Phdr), len)) return ProgramCheck::Truncated;
    for (unsigned i = 0; i < h.e_phnum; ++i) {
        Phdr p;
        std::memcpy(&p, data + h.e_phoff + i * sizeof(Phdr), sizeof p);
        if (!tableFits(p.p_offset, 1, p.p_filesz, fileSize)) return ProgramCheck::Truncated;
    }
    return ProgramCheck::Runnable;
}

ProgramCheck checkProgramFile(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return ProgramCheck::NotElf;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::vector<std::uint8_t> head(static_cast<std::size_t>(size < kHeadBytes ? size : kHeadBytes));
    const ssize_t got = head.empty() ? 0 : ::pread(fd, head.data(), head.size(), 0);
    if (got < 0) return ProgramCheck::NotElf;
    head.resize(static_cast<std::size_t>(got));
    // Program headers further in than usual: read up to where they end.
    if (head.size() >= sizeof(Ehdr) && std::memcmp(head.data(), ELFMAG, SELFMAG) == 0 && head[EI_CLASS] == kClass) {
        Ehdr h;
        std::memcpy(&h, head.data(), sizeof h);
        const std::uint64_t end = static_cast<std::uint64_t>(h.e_phoff) + std::uint64_t{h.e_phnum} * sizeof(Phdr);
        if (end > head.size() && end <= size && end <= kMaxHeaderTable) {
            head.resize(static_cast<std::size_t>(end));
            const ssize_t more = ::pread(fd, head.data(), head.size(), 0);
            if (more < 0) return ProgramCheck::NotElf;
            head.resize(static_cast<std::size_t>(more));
        }
    }
    return checkProgramBytes(head.data(), head.size(), size);
}

}  // namespace quask
