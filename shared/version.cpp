#include "shared/version.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>

namespace quask {

namespace {
// __DATE__ already pads days below 10 with a blank, as the banner wants.
constexpr char kBuildDate[] = __DATE__ " " __TIME__;
}

const char* buildDateText() { return kBuildDate; }

int buildNumberFromDate(const char* buildDate) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov"};
    static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30};
    int month = 11;  // no match counts as December
    for (int m = 0; m < 11; ++m) {
        if (strncasecmp(buildDate, kMonths[m], 3) == 0) {
            month = m;
            break;
        }
    }
    int day = std::atoi(buildDate + 4);
    int year = std::atoi(buildDate + 7);
    int days = day;
    for (int m = 0; m < month; ++m) days += kMonthDays[m];
    days = days - 1 - static_cast<int>(std::trunc((year - 1901) * -365.25));
    if ((year - 1900) % 4 == 0 && month > 1) days += 1;
    return days - 39394;
}

const char* versionText() {
    // Function-local static: filled once, safely, whichever thread asks first.
    static const std::string text = [] {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", 1, 0, 6, buildNumberFromDate(kBuildDate));
        return std::string(buf);
    }();
    return text.c_str();
}

}  // namespace quask
