// What a run of the engine works with: the patch server and its mirrors, the
// window, the game directory and the launcher's own key. Made by the front
// end for one worker; the run uses it on the worker thread only.
#pragma once

#include <string>

#include "patcher/disk/revision_record.h"
#include "patcher/engine/launcher_ui.h"
#include "patcher/net/http_client.h"
#include "patcher/net/mirrors.h"
#include "patcher/protocol/line_files.h"
#include "patcher/protocol/signature.h"

namespace quillon {

struct PatchContext {
    HttpClient& http;
    LauncherState& ui;
    std::string gameDir;     // no trailing slash
    std::string baseUrl;     // ends in a slash
    std::string moduleName;  // the running launcher's file name
    // The key this launcher is built with (or the environment's): the first
    // root of trust of a game directory that has none. A game directory with
    // a root trusts that, whatever this says (the trust module decides).
    const PublicKey* launcherKey = nullptr;
    // Where each run fetches from: the base URL, then the mirrors the trust
    // module learns of.
    Mirrors mirrors;
};

}  // namespace quillon
