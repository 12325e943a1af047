// The operating-system check of the start-up: reads the kernel release and
// logs "Running on Linux %d.%d#%d". Needs the log.
#pragma once

namespace velmar {

struct KernelVersion {
    int major = 0, minor = 0, patch = 0;
};

// Leading numbers of a release text such as "6.1.0-18-amd64"; false when
// it does not start with a number.
bool parseKernelRelease(const char* release, KernelVersion* out);

// True when the client may go on (logs the INFO lines either way).
bool runOsCheck();

}  // namespace velmar
