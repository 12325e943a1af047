#include "client/startup.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "client/core/cpu_info.h"
#include "client/core/log.h"
#include "client/core/os_check.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/core/timer.h"
#include "client/core/vmath.h"
#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/start_handshake.h"

namespace velmar {

namespace {

const char* yesNo(bool flag) { return flag ? "Yes" : "No"; }

void logCpuBlock() {
    const CpuInfo& cpu = cpuInfo();
    Message(kLogPlain, "~ ~ ~ ~ ~ CPU  INFO ~ ~ ~ ~ ~");
    Message(kLogPlain, "Vendor: %s", cpu.vendor);
    Message(kLogPlain, "Model: %s", cpu.brand);
    Message(kLogPlain, "MMX: %s, 3DNOW: %s", yesNo(cpu.mmx), yesNo(cpu.amd3dnow));
    Message(kLogPlain, "SSE: %s, SSE2: %s", yesNo(cpu.sse), yesNo(cpu.sse2));
    Message(kLogPlain, "CMOV: %s, FCMOV: %s", yesNo(cpu.cmov), yesNo(cpu.fcmov));
    Message(kLogPlain, "RDTSC: %s", yesNo(cpu.rdtsc));
    Message(kLogPlain, "~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~");
}

void lowerMainThreadPriority() {
    // Two steps below normal; a refusal changes nothing that matters.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 2);
}

}  // namespace

void shutdownHandler() {
    CTimer::Destroy(CTimer::instance());
    CRConf::Destroy();  // rewrites the configuration file when that is due
    CLOG::Destroy();
    PerfClock::Release();
}

void runClient() {
    // Early checks (clock, log, processor, operating system) end with code 1:
    // a failed start is never reported as success.
    registerExitHandler(shutdownHandler);
    // Boxes go through our GTK helper when it is installed beside us.
    quask::installHelperMessageBoxBackend();

    if (!PerfClock::Create()) {
        quask::showMessageBox(
            "Your Systems lacks support of Performance Counters.\nPlease contact support.\n",
            "Error", quask::BoxIcon::Error, quask::BoxButtons::Ok);
        exitProcess(1);
    }
    CLOG::Create();
    if (!quask::openClientSplashEvent()) {
        Message(kLogPlain, "Not Started by Launcher / Splash Event not Found.");
        exitProcess(1);
    }
    if (!runCpuCheck()) exitProcess(1);
    if (!runOsCheck()) exitProcess(1);

    CRConf* conf = CRConf::Create();
    Message(kLogInfo, "Pre Startup Checks okay.");

    selectMathRoutines(cpuInfo().sse != 0);
    initTrigTables();
    logCpuBlock();

    const int bpp = conf->GetInt(RCONF_BPP);
    Message(kLogPlain, "RConf->iGetVar(RCONF_BPP): %d", bpp);
    if (bpp != 32) {
        Message(kLogCrit, "Video: Only 32 Bit's color is supported.");
        exitProcess(1);
    }
    CTimer::Create();
    // Threads inherit the priority of the thread that starts them, and an
    // unprivileged process cannot raise it again: the main thread steps down
    // only once the timer's worker runs.
    lowerMainThreadPriority();

    // The window, the engine objects and the main loop join the sequence here
    // as the platform, asset and scene layers land. Until then the client
    // tells its starter it is up and ends after the engine core is running.
    quask::signalClientSplashEvent();
    exitProcess(0);
}

}  // namespace velmar
