#include "client/core/os_check.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>

#include "client/core/log.h"

namespace velmar {

bool parseKernelRelease(const char* release, KernelVersion* out) {
    int parts[3] = {0, 0, 0};
    const char* p = release;
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            if (i == 0) return false;
            break;
        }
        long v = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            if (v < 1000000) v = v * 10 + (*p - '0');  // saturate absurd numbers
            ++p;
        }
        parts[i] = static_cast<int>(v);
        if (*p != '.') break;
        ++p;
    }
    *out = KernelVersion{parts[0], parts[1], parts[2]};
    return true;
}

bool runOsCheck() {
    utsname info;
    KernelVersion v;
    if (uname(&info) != 0 || !parseKernelRelease(info.release, &v)) {
        Message(kLogInfo, "Couldnt fetch OS Information.");
        return false;
    }
    // Every kernel that runs this build is new enough; the check only reports.
    Message(kLogInfo, "Running on Linux %d.%d#%d", v.major, v.minor, v.patch);
    return true;
}

}  // namespace velmar
