// What an author added to a game directory that a new build-demo keeps:
// the def files' lines but the entries of IDs the demo defines,
// Water.ini's sections of other water types, and a first map that
// import-tiled wrote in place of the demo's. The demo's own IDs and water
// type get the demo's definitions. Each decision gets a report line.
// Stateless; any thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/def_writer.h"

namespace contentkit {

// The first line of the demo's map ini: a first map without it is an
// author's.
constexpr char kDemoMapMark[] = "; The demo's first map, as contentkit build-demo writes it";

struct KeptReport {
    std::vector<std::string> kept;      // "data/def/Textures.def: kept 'load: data/def/my.def'"
    std::vector<std::string> warnings;  // an author's line that the demo's replaced
};

// The demo's def file `demo` as written (`written`, saved as `file`) with
// the lines of the file there before (`before`, null when there was none)
// after it, as the author wrote them: comments, line breaks and lines the
// game does not read included, but the demo's own IDs, loads and comments.
Bytes keepAuthorDefLines(const std::string& file, const Bytes& written, const DefFile& demo, const Bytes* before,
                         KeptReport* report);

// The demo's Water.ini with the sections of `before` for water types other
// than `demoTypes` after it, as they were written.
Bytes keepAuthorWaterTypes(const Bytes& demo, const Bytes* before, const std::set<int>& demoTypes,
                           KeptReport* report);

// Whether a first map's ini there (null when none) is an author's.
bool isAuthorsFirstMap(const Bytes* ini);

}  // namespace contentkit
