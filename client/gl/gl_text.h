// The GL driver's texts read without a driver: the version number, the
// extension list and the renderer names that mean drawing on the processor.
// Pure functions over the texts; any thread.
#pragma once

namespace velmar {

struct GLVersion {
    int major;
    int minor;
    int revision;
};
// "2.1.2 NVIDIA ..." -> 2, 1, 2; missing parts are 0, as is a null text.
GLVersion parseGLVersion(const char* versionText);

// True when `name` is not empty, holds no blank and stands as a whole
// blank-separated word in `list`.
bool extensionListed(const char* list, const char* name);

// Renderers that draw on the processor: not hardware accelerated.
bool isSoftwareRenderer(const char* rendererName);

}  // namespace velmar
