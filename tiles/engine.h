// The modification engine: sets or clears one flag for every grid point of
// the area in every tile the area touches, edge copies in the neighbouring
// tiles included.
//
// The files end up exactly as the plain walk would leave them (every record
// of every listed tile read and rewritten in order, IN_AREA for every stored
// grid point, the kind's operation on accepted words, copies of accepted
// west-edge, south-edge and south-west-corner points in the neighbouring
// tiles), but all or nothing: every file that will be written is checked
// first, and if any check fails nothing is written at all.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/program_values.h"
#include "base/file_services.h"

namespace kavlin {

enum class EngineOutcome {
  Done,       // every file rewritten, flushed and closed
  Refused,    // the area or the kind was refused before any file was touched
  FileError,  // a file check or transfer failed; see notice
};

// Told about each record a run writes that one modification alone
// changes, right before its WRITE_BLOCK: which of its grid words that
// modification changed. A run journal takes this instead of comparing the
// record as read with the record as written (a record that several
// modifications change is compared).
class ChangeSink {
 public:
  virtual ~ChangeSink() = default;
  // Where the engine keeps record `record` (1..144) of the file open on
  // `unit`, `length` bytes, from its READ_BLOCK to its WRITE_BLOCK, when
  // one modification alone works on the record; an empty span: in the
  // engine's own buffer.
  virtual std::span<uint8_t> record_buffer(int32_t unit, int32_t record, int32_t length) {
    (void)unit, (void)record, (void)length;
    return {};
  }
  // The words of the record that modification `index` (in the order
  // given), the only one that works on it, changed: bit w % 8 of
  // changed[w / 8] is word w (from 0); bits beyond the last word are 0.
  virtual void changed_words(int32_t index, int32_t unit, int32_t record, std::span<const uint8_t> changed) = 0;
};

struct EngineOptions {
  bool dry_run = false;  // work everything out and check the files, write nothing
  // Called after each file is done (rewritten, or in a dry run worked
  // through) with the number of files done so far and the number of files
  // the run writes (listed tiles plus neighbour tiles). Never called when
  // empty.
  std::function<void(int32_t tiles_done, int32_t tiles_total)> progress;
  // Called with each file's tile name once every check has passed, before
  // the file is worked through. Never called when empty.
  std::function<void(const std::string& tile)> writing;
  // Called, dry runs included, for every record the run changes, with the
  // tile name, the record number and the words whose value differs from
  // the record as read (bits as in ChangeSink::changed_words). Never
  // called when empty.
  std::function<void(const std::string& tile, int32_t record, std::span<const uint8_t> changed)> changed_record;
};

struct EngineResult {
  EngineOutcome outcome = EngineOutcome::Done;
  // The message for the user: "All modifications are done!" / "Info" on
  // success, otherwise the refusal or file error with caption "Error".
  Notice notice;
  // Tile names in list order (longitude outer, latitude inner).
  std::vector<std::string> listed_tiles;
  // Tiles outside the list that receive edge copies, in order of first use.
  std::vector<std::string> neighbour_tiles;
  // Files rewritten (listed tiles plus neighbour tiles), and grid words
  // whose value changes (each stored word counted once).
  int64_t tiles_rewritten = 0;
  int64_t words_changed = 0;
  // The modification (index in the order given) that was refused, or
  // whose files failed the checks before the first write; -1 otherwise.
  int32_t failed_modification = -1;
};

// One modification of a run that makes several: its area and its kind.
struct AreaModification {
  const VertexTable* table = nullptr;
  int32_t mod_kind = 0;
};

// Runs one modification of `table` with kind `mod_kind` on the database of
// drive `drive`.
EngineResult apply_modification(RecordFiles& files, char drive, const VertexTable& table, int32_t mod_kind,
                                const EngineOptions& options = {});

// Record files that are also a ChangeSink (a run journal) are told the
// changed words of every record written that one modification alone
// changes (not in a dry run).
//
// Runs several modifications as one: the files are those of every
// modification, each checked once before the first write, and each record
// is read and written once, the modifications applied to it in the order
// given. The files end up as running the modifications one after another
// would leave them. A refused modification, or one whose files fail the
// checks, ends the run with nothing written (failed_modification says
// which). Listed tiles are those of any modification, in order of first
// listing; neighbour tiles those that none lists. words_changed counts the
// words whose value differs at the end.
EngineResult apply_modifications(RecordFiles& files, char drive, std::span<const AreaModification> modifications,
                                 const EngineOptions& options = {});

}  // namespace kavlin
