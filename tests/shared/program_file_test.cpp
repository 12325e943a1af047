// Whether a file is a program of this machine: a real one passes, and what
// a broken update could put in a launcher's place does not.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "shared/program_file.h"
#include "tests/support/temp_dir_test.h"

namespace {

using quask::ProgramCheck;
using ProgramFileTest = quask_test::TempDirTest;

TEST_F(ProgramFileTest, OnlyAWholeProgramOfThisMachinePasses) {
    const std::string program = quask_test::readFile("/bin/true");
    ASSERT_GT(program.size(), 4096u);
    auto with = [&](std::size_t at, const void* bytes, std::size_t n) {
        std::string changed = program;
        std::memcpy(&changed[at], bytes, n);
        return changed;
    };
    const std::uint16_t otherMachine = EM_PPC64, relocatable = ET_REL;
    const unsigned char otherClass = ELFCLASS32;
    const std::uint64_t farAway = program.size() * 2;
    const struct {
        const char* what;
        std::string bytes;
        ProgramCheck check;
    } rows[] = {
        {"the program", program, ProgramCheck::Runnable},
        {"with bytes after its end", program + "rev2\n", ProgramCheck::Runnable},
        {"a text file", "#!/bin/sh\necho not a program\n", ProgramCheck::NotElf},
        {"empty", "", ProgramCheck::NotElf},
        {"cut after its header", program.substr(0, sizeof(Elf64_Ehdr)), ProgramCheck::Truncated},
        {"cut in half", program.substr(0, program.size() / 2), ProgramCheck::Truncated},
        {"another processor's", with(offsetof(Elf64_Ehdr, e_machine), &otherMachine, 2), ProgramCheck::OtherMachine},
        {"another word size", with(EI_CLASS, &otherClass, 1), ProgramCheck::OtherMachine},
        {"an object file", with(offsetof(Elf64_Ehdr, e_type), &relocatable, 2), ProgramCheck::OtherMachine},
        {"program headers past the end", with(offsetof(Elf64_Ehdr, e_phoff), &farAway, 8), ProgramCheck::Truncated},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto* data = reinterpret_cast<const std::uint8_t*>(row.bytes.data());
        EXPECT_EQ(quask::checkProgramBytes(data, row.bytes.size(), row.bytes.size()), row.check);
        const std::string path = at("candidate");
        quask_test::writeFile(path, row.bytes);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(quask::checkProgramFile(fd), row.check);
        ::close(fd);
    }
}

}  // namespace
