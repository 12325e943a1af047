// The version every program of the suite reports: "1.0.6.<build>", where the
// build number counts the days from 9 November 2008 to the build date. The
// client's banner and window title, and each program's --version, read it
// from here, so one build never shows two numbers. Any thread may call these.
#pragma once

namespace quask {

// "Mmm dd yyyy hh:mm:ss", the moment this unit was compiled.
const char* buildDateText();
// "1.0.6.<build>" for this build.
const char* versionText();

// Days from 9 November 2008 to the date at the start of `buildDate`
// ("Sep 26 2011 ..." gives 1051).
int buildNumberFromDate(const char* buildDate);

}  // namespace quask
