// The local revision record: data/quillon.dat below the game directory holds
// the content revision as 4 bytes, little-endian. A DoFullCheck file beside
// the launcher asks for a full content check at the next start.
//
// Used by the launcher's start-up and worker thread, one at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "patcher/protocol/line_files.h"

namespace quillon {

struct RevisionRecord {
    bool dirty = false;
    bool fullCheckRequested = false;
    std::uint32_t revision = 0;
};

// Reads the record (a missing or short file is revision 0, written at once;
// one that is there but cannot be read is a failure, not revision 0) and
// notes the DoFullCheck request. The marker stays until the check it asks
// for has finished (FinishFullCheckRequest), so a check cut short is taken
// up again at the next start. A failure is a box and exit 1.
std::optional<PatchFailure> LoadRevisionRecord(const std::string& gameDir, RevisionRecord* record);

// A full check no marker asked for (the window's button) leaves one as it
// starts, so that a check cut short (the window closed, a failure) is taken
// up again at the next start, as a requested one is. Where no marker can be
// made, the check runs without one.
void NoteFullCheckStarted(const std::string& gameDir, RevisionRecord* record);

// After the requested full check has finished: removes the marker and
// clears the request. Nothing when none was requested.
std::optional<PatchFailure> FinishFullCheckRequest(const std::string& gameDir, RevisionRecord* record);

// Writes the record through a temporary file that is synced and renamed over
// the old one, so a crash leaves either the old or the new revision; the
// data directory is synced after. Nothing is written through a link that
// leads out of the game directory. True once the new record has its name;
// `synced` (when given) then tells whether the directory sync succeeded, so
// that the name survives a power cut too.
bool SaveRevisionRecord(const std::string& gameDir, RevisionRecord* record, bool* synced = nullptr);

// The box for a record that was written but whose directory could not be synced.
PatchFailure recordNotDurableFailure();

}  // namespace quillon
