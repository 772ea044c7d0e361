#include "cli/history_cli.h"

#include "cli/apply_cli.h"
#include "tiles/run_history.h"
#include "tiles/run_journal.h"
#include "tiles/safe_run.h"

namespace kavlin::cli {

std::string join_names(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string joined;
  for (const std::string& n : names) {
    if (!joined.empty()) joined += ' ';
    joined += n;
  }
  return joined;
}

int run_undo(FileServices& files, char drive, int64_t run, bool dry_run, std::ostream& out, std::ostream& err) {
  const UndoResult undo = undo_run(files, drive, run, dry_run);
  switch (undo.outcome) {
    case UndoResult::Outcome::Done:
      if (dry_run) {
        out << "Dry run: no file was changed.\n"
            << "tiles that would be rewritten: " << join_names(undo.tiles) << "\n"
            << "grid words that would be restored: " << undo.words << "\n";
      } else {
        out << "Info: " << (undo.undo_record_kept ? undo.notices[undo.notices.size() - 2] : undo.notices.back()).text
            << "\n"
            << "tiles rewritten: " << undo.tiles.size() << "\n"
            << "grid words restored: " << undo.words << "\n";
      }
      // Undone, yet its record stays, or the history could not be written:
      // said, and not a clean end.
      if (undo.undo_record_kept) {
        print_notice(err, undo.notices.back());
        return EXIT_FILE_ERROR;
      }
      if (undo.history_failure) {
        print_notice(err, *undo.history_failure);
        return EXIT_FILE_ERROR;
      }
      return EXIT_DONE;
    case UndoResult::Outcome::NothingToUndo:
    case UndoResult::Outcome::ChangedSince:
      for (const Notice& notice : undo.notices) print_notice(err, notice);
      return EXIT_REFUSED;
    case UndoResult::Outcome::FileError:
      break;
  }
  for (const Notice& notice : undo.notices) print_notice(err, notice);
  return EXIT_FILE_ERROR;
}

namespace {

std::string what_text(const HistoryEntry& e) {
  if (e.undo()) return e.undo_of > 0 ? "undo of run " + std::to_string(e.undo_of) : "undo of the last modification";
  std::string text;
  for (const int32_t kind : e.kinds) {
    if (!text.empty()) text += ", ";
    text += kind_text(kind);
  }
  return e.kinds.size() > 1 ? std::to_string(e.kinds.size()) + " modifications: " + text : text;
}

}  // namespace

int list_history(OwnFiles& files, char drive, std::ostream& out, std::ostream& err) {
  const History history = read_history(files, drive);
  if (history.error != 0) {
    print_notice(err, {"The history " + history_path(drive) + " cannot be read: " + history_reason(history.error) + "!",
                       "Error"});
    return EXIT_FILE_ERROR;
  }
  if (history.entries.empty()) out << "No run has changed the database since its history began.\n";
  for (auto e = history.entries.rbegin(); e != history.entries.rend(); ++e) {
    out << "run " << e->run << "  " << e->time << "  " << what_text(*e) << "\n";
    if (e->extent) {
      out << "  area: longitude " << number_text(e->extent->LON_MIN) << " to " << number_text(e->extent->LON_MAX)
          << ", latitude " << number_text(e->extent->LAT_MIN) << " to " << number_text(e->extent->LAT_MAX)
          << ", rings " << hex64(e->rings) << "\n";
    }
    out << "  tiles: " << join_names(e->tiles) << "\n"
        << "  grid points changed: " << e->points << ", stored grid words changed: " << e->words << "\n";
    if (const HistoryEntry* by = history.undone_by(e->run)) {
      out << "  undone by run " << by->run << "\n";
    } else if (!e->undo() && (files.FILE_KIND(kept_undo_path(drive, e->run_id)) == 0 ||
                              (&*e == &history.entries.back() && files.FILE_KIND(undo_path(drive)) == 0))) {
      out << "  undo record kept: kavlin-apply --undo " << e->run << "\n";
    }
  }
  if (history.damaged_lines > 0) {
    print_notice(err, {std::to_string(history.damaged_lines) + " damaged line(s) of the history " +
                           history_path(drive) + " were skipped!",
                       "Warning"});
  }
  return EXIT_DONE;
}

}  // namespace kavlin::cli
