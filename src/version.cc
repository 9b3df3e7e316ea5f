#include "version.h"

#include <stdio.h>
#include <stdlib.h>

#include <mutex>

// KST_VERSION comes from the build (project(VERSION)).
const char* const version = KST_VERSION;
const char* const copyright =
    "Copyright (C) 2002-2026 the Kestrova developers.\n"
    "This program comes with ABSOLUTELY NO WARRANTY.";

namespace {
char* lv = nullptr;
std::once_flag lvOnce;
}  // namespace

const char* longVersion() {
    std::call_once(lvOnce, [] {
        if (asprintf(&lv, "Kestrova, version %s", version) < 0) lv = nullptr;
    });
    return lv ? lv : "Kestrova";
}
