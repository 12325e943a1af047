#include "client/core/cpu_info.h"

#include <cpuid.h>

#include <cstring>

#include "shared/message_box.h"

namespace velmar {

namespace {
CpuInfo g_cpu;
bool g_sse2Allowed = false;

bool bit(unsigned value, int n) { return (value >> n) & 1u; }
}  // namespace

CpuInfo& cpuInfo() { return g_cpu; }
bool sse2Allowed() { return g_sse2Allowed; }

bool hardwareCpuid(unsigned leaf, unsigned regs[4]) {
    // __get_cpuid checks the highest supported leaf of the leaf's range.
    return __get_cpuid(leaf, &regs[0], &regs[1], &regs[2], &regs[3]) != 0;
}

CpuCheckResult readCpuInfo(CpuInfo& info, CpuidFn cpuid) {
    info = CpuInfo{};
    unsigned r[4];
    if (cpuid(0, r)) {
        std::memcpy(info.vendor + 0, &r[1], 4);  // EBX, EDX, ECX spell the vendor
        std::memcpy(info.vendor + 4, &r[3], 4);
        std::memcpy(info.vendor + 8, &r[2], 4);
        info.vendor[12] = '\0';
    }
    char brand[49] = {};
    bool brandOk = true;
    for (unsigned i = 0; i < 3 && brandOk; ++i) {
        brandOk = cpuid(0x80000002u + i, r);
        if (brandOk) std::memcpy(brand + 16 * i, r, 16);
    }
    if (brandOk) std::memcpy(info.brand, brand, sizeof brand);

    unsigned ext[4];
    if (!cpuid(0x80000000u, ext) || !cpuid(1, r)) return CpuCheckResult::FlagsUnreadable;
    const unsigned edx = r[3];
    info.mmx = bit(edx, 23);
    info.sse = bit(edx, 25);
    info.sse2 = bit(edx, 26);
    info.cmov = bit(edx, 15);
    info.fcmov = bit(edx, 16);
    info.rdtsc = bit(edx, 4);
    if (ext[0] > 0x80000000u && cpuid(0x80000001u, r)) info.amd3dnow = bit(r[3], 31);
    if (!info.mmx || !info.sse) return CpuCheckResult::FeaturesMissing;
    return CpuCheckResult::Passed;
}

bool runCpuCheck(CpuidFn cpuid) {
    switch (readCpuInfo(g_cpu, cpuid)) {
        case CpuCheckResult::FlagsUnreadable:
            quask::showMessageBox("Can't read out your CPU's Feature Flags.\nPlease contact Support.",
                                  "CPU Check Error", quask::BoxIcon::Error, quask::BoxButtons::Ok);
            return false;
        case CpuCheckResult::FeaturesMissing:
            quask::showMessageBox(
                "One or more of the following CPU Feature Sets are missing: SSE / MMX.\n\n",
                "CPU Instruction Missing", quask::BoxIcon::Error, quask::BoxButtons::Ok);
            return false;
        case CpuCheckResult::Passed:
            break;
    }
    g_sse2Allowed = g_cpu.sse2 != 0;
    return true;
}

}  // namespace velmar
