#!/usr/bin/env python3
"""The include rules of the source tree, checked.

Every include names its path from the source root, so the compiler lets any
file include any header; these rules say which may:
  1. A module includes only its own headers and those of the modules below
     it (LAYERS). A module is a folder; a subfolder named in LAYERS is a
     module of its own.
  2. A header whose name ends in _internal.h belongs to its folder: only that
     folder and the tests include it.
  3. Each third-party library's headers stand in its backend files alone
     (BACKENDS); the GL headers only in the GL module's header.
Tests, benchmarks and fuzz targets may include any product header, and the
libraries a test checks against. Prints every broken rule as file:line and
exits 1 when there is one. With --self-test it first plants broken includes
in a temporary tree and fails unless exactly those are found.
  scripts/check_includes.py [--self-test] [SOURCE_ROOT]
"""
import os
import re
import subprocess
import sys
import tempfile

# What each module may include besides itself; "dir/*_layout.h" admits only
# the file layouts of that folder.
LAYERS = {
    "shared": [],
    "client/core": ["shared"],
    "client/storage": ["client/core", "shared"],
    "client/gl": ["client/core", "shared"],
    "client/platform": ["client/core", "client/gl", "shared"],
    "client/platform/gui": ["client/core", "shared"],
    "client/platform/screenshot": ["client/core", "client/gl", "shared"],
    "client/platform/sound": ["client/core"],
    "client/platform/msgbox": ["shared"],
    "client/assets": ["client/core", "client/storage", "client/gl", "shared"],
    "client/input": ["client/core", "client/storage", "client/gl", "client/assets", "client/platform",
                     "client/platform/gui", "client/platform/screenshot"],
    "client/scene": ["client/core", "client/storage", "client/gl", "client/assets", "client/input",
                     "client/platform/gui"],
    "client": ["client/core", "client/storage", "client/gl", "client/platform", "client/platform/screenshot",
               "client/platform/sound", "client/assets", "client/input", "client/scene", "shared"],
    "patcher/protocol": [],
    "patcher/net": [],
    "patcher/disk": ["patcher/protocol", "shared"],
    "patcher/engine": ["patcher/protocol", "patcher/net", "patcher/disk", "shared"],
    "patcher/front": ["patcher/protocol", "patcher/net", "patcher/disk", "patcher/engine", "shared"],
    "patcher/front/gtk": ["patcher/protocol", "patcher/net", "patcher/disk", "patcher/engine", "patcher/front",
                          "shared"],
    "patcher": ["patcher/protocol", "patcher/net", "patcher/disk", "patcher/engine", "patcher/front",
                "patcher/front/gtk", "shared"],
    "packaging/bootstrap": ["shared"],
    "packaging/icon": [],
    "tools/starter": ["shared"],
    "tools/logserver": ["shared"],
    "tools/gdfpack": ["client/storage", "shared"],
    "tools/compress": ["shared"],
    # contentkit by stage, each on those below it only; the command line on top.
    "tools/contentkit/formats": ["client/assets/*_layout.h", "client/scene/*_layout.h", "shared"],
    "tools/contentkit/check": ["tools/contentkit/formats", "client/storage", "client/assets/*_layout.h",
                               "client/scene/*_layout.h"],
    "tools/contentkit/models": ["tools/contentkit/formats"],
    "tools/contentkit/tiled": ["tools/contentkit/formats"],
    "tools/contentkit/import": ["tools/contentkit/tiled", "tools/contentkit/models", "tools/contentkit/formats",
                                "client/core", "client/storage", "client/assets/def_file.h",
                                "client/assets/model_file.h", "client/assets/model_pose.h"],
    "tools/contentkit/demo": ["tools/contentkit/import", "tools/contentkit/tiled", "tools/contentkit/formats",
                              "client/storage", "client/scene/first_map.h", "client/assets/def_file.h", "shared"],
    "tools/contentkit": ["tools/contentkit/formats", "tools/contentkit/check", "tools/contentkit/models",
                         "tools/contentkit/tiled", "tools/contentkit/import", "tools/contentkit/demo", "shared"],
    "tools/patchpub": ["patcher/protocol", "shared"],
}

# Third-party include prefixes and the only product files (or, ending in a
# slash, folders) that may use them.
BACKENDS = {
    "GLFW/": ["client/platform/glfw_window.cpp"],
    "CEGUI/": ["client/platform/gui/gui.cpp"],
    "AL/": ["client/platform/sound/openal_device.cpp"],
    "curl/": ["patcher/net/"],
    "gtk/": ["client/platform/msgbox/main.cpp", "patcher/front/gtk/"],
    "GL/": ["client/gl/gl_ext.h"],
}

FREE = ("tests/", "bench/", "fuzz/")
INCLUDE = re.compile(r'\s*#\s*include\s*([<"])([^>"]+)[>"]')


def module_of(path):
    folder = os.path.dirname(path)
    while folder and folder not in LAYERS:
        folder = os.path.dirname(folder)
    return folder if folder in LAYERS else None


def admitted(target, allowed):
    for rule in allowed:
        if "*" in rule:
            folder, suffix = rule.split("*", 1)
            if target.startswith(folder) and "/" not in target[len(folder):] and target.endswith(suffix):
                return True
        elif target == rule or target.startswith(rule + "/") and module_of(target) == rule:
            return True
    return False


def check(path, lines):
    faults = []
    own = module_of(path)
    free = path.startswith(FREE)
    for number, line in enumerate(lines, 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        quoted, target = match.group(1) == '"', match.group(2)
        where = f"{path}:{number}: {target}"
        if not quoted:
            for prefix, files in BACKENDS.items():
                if target.startswith(prefix) and not free and not any(
                        path == f or f.endswith("/") and path.startswith(f) for f in files):
                    faults.append(f"{where}: only {', '.join(files)} may include {prefix} headers")
            continue
        if target.endswith("_internal.h") and not free and os.path.dirname(target) != os.path.dirname(path):
            faults.append(f"{where}: a header private to {os.path.dirname(target)}/")
        target_module = module_of(target)
        if free or own is None or target_module is None or target_module == own:
            continue
        if not admitted(target, LAYERS[own]):
            faults.append(f"{where}: {own}/ does not build on {target_module}/")
    return faults


# What the self-test plants: each file's includes, and which of its lines
# must be reported.
PLANTED = {
    "patcher/protocol/planted.cpp": (['#include "patcher/engine/patch_run.h"'], [1]),  # up
    "patcher/disk/planted.cpp": (['#include "patcher/net/http_client.h"'], [1]),  # sideways
    "patcher/front/planted.cpp": (['#include "patcher/engine/phases_internal.h"'], [1]),  # private
    "patcher/engine/planted.cpp": (['#include "patcher/engine/phases_internal.h"', "#include <curl/curl.h>",
                                    "#include <gtk/gtk.h>"], [2, 3]),
    "patcher/net/planted.cpp": (["#include <curl/curl.h>"], []),
    "tests/planted_test.cpp": (['#include "patcher/engine/phases_internal.h"', "#include <gtk/gtk.h>"], []),
}


def self_test():
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["git", "init", "-q", root], check=True)
        for path, (lines, _) in PLANTED.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as source:
                source.write("\n".join(lines) + "\n")
        run = subprocess.run([sys.executable, os.path.abspath(__file__), root], capture_output=True, text=True)
    found = {line.split(": ")[0] for line in run.stdout.splitlines() if line.startswith(("patcher/", "tests/"))}
    wanted = {f"{path}:{n}" for path, (_, numbers) in PLANTED.items() for n in numbers}
    if run.returncode == 1 and found == wanted:
        return True
    print(f"check_includes self-test: exit {run.returncode}, found {sorted(found)}, wanted {sorted(wanted)}")
    return False


def main():
    args = sys.argv[1:]
    if args[:1] == ["--self-test"]:
        if not self_test():
            return 1
        args = args[1:]
    root = args[0] if args else os.path.join(os.path.dirname(__file__), "..")
    os.chdir(root)
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], capture_output=True, text=True,
                            check=True).stdout.split()
    faults = []
    for path in listed:
        if path.endswith((".cpp", ".h", ".c")) and os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as source:
                faults += check(path, source.read().splitlines())
    for fault in faults:
        print(fault)
    print(f"check_includes: {len(faults)} broken rules")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
