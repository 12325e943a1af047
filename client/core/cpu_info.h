// CpuInfo: the processor's vendor, brand and feature flags, filled by the
// start-up CPU check and read by the log banner and the SSE code paths.
// Written once on the main thread before any other thread starts.
#pragma once

#include <cstdint>

namespace velmar {

struct CpuInfo {
    char vendor[13] = "Generic_x86";
    char brand[49] = "Unknown";
    std::uint8_t mmx = 0, sse = 0, sse2 = 0, cmov = 0, fcmov = 0, rdtsc = 0, amd3dnow = 0;
};

// The process-wide record and the switch that allows SSE2 code paths.
CpuInfo& cpuInfo();
bool sse2Allowed();

// One processor-identification query: leaf in, registers out; false when
// the leaf cannot be read. Replaceable so the check can be tested.
using CpuidFn = bool (*)(unsigned leaf, unsigned regs[4] /* eax ebx ecx edx */);
bool hardwareCpuid(unsigned leaf, unsigned regs[4]);

enum class CpuCheckResult { Passed, FlagsUnreadable, FeaturesMissing };

// Fills `info` from `cpuid` without showing anything.
CpuCheckResult readCpuInfo(CpuInfo& info, CpuidFn cpuid = hardwareCpuid);

// The start-up check: fills cpuInfo(), shows the error box on failure and
// sets the SSE2 switch. True when the client may go on.
bool runCpuCheck(CpuidFn cpuid = hardwareCpuid);

}  // namespace velmar
