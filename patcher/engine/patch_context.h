// What a run of the engine works with: the patch server, the window, the
// game directory and the publisher's key. Made by the front end for one
// worker; the run uses it on the worker thread only.
#pragma once

#include <string>

#include "patcher/disk/revision_record.h"
#include "patcher/engine/launcher_ui.h"
#include "patcher/net/http_client.h"
#include "patcher/protocol/line_files.h"
#include "patcher/protocol/signature.h"

namespace quillon {

struct PatchContext {
    HttpClient& http;
    LauncherState& ui;
    std::string gameDir;     // no trailing slash
    std::string baseUrl;     // ends in a slash
    std::string moduleName;  // the running launcher's file name
    // Set: only what this key signed is used (the trust module decides what that means).
    const PublicKey* trustedKey = nullptr;
};

}  // namespace quillon
