// patchpub: publishes the next content revision into a patch server tree.
//   patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]...
#include <cstdio>
#include <cstring>

#include "tools/patchpub/publisher.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]...\n"
                 "  PATTERN is a glob on the path below the game directory, e.g. '*.map'\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    patchpub::PublishOptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--message") == 0 && hasValue) {
            options.message = argv[++i];
        } else if (std::strcmp(argv[i], "--compress") == 0 && hasValue) {
            options.compress.push_back(argv[++i]);
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            return usage();
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2) return usage();
    options.serverDir = positional[0];
    options.contentDir = positional[1];

    patchpub::PublishResult result;
    std::string error;
    if (!patchpub::publishRevision(options, &result, &error)) {
        std::fprintf(stderr, "patchpub: %s\n", error.c_str());
        return 1;
    }
    if (!result.published) {
        std::printf("Nothing changed: the server stays at revision %u\n", result.revision);
        return 0;
    }
    std::printf("Published revision %u: %u added, %u modified, %u deleted, %u new directories\n",
                result.revision, result.added, result.modified, result.deleted, result.directories);
    return 0;
}
