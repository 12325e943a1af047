// Version and build texts of the client: "1.0.6.<build>", where the build
// number counts the days from 9 November 2008 to the build date. They are the
// suite's own (shared/version.h), so the banner and --version agree.
#pragma once

#include "shared/version.h"

namespace velmar {

using quask::buildDateText;
using quask::buildNumberFromDate;
using quask::versionText;

}  // namespace velmar
