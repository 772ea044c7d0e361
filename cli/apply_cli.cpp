#include "cli/apply_cli.h"
#include "cli/history_cli.h"

#include "base/program_version.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <ostream>

#include "cli/batch_file.h"
#include "tiles/engine.h"
#include "tiles/safe_run.h"
#include "tiles/change_mask.h"
#include "tiles/db_check.h"
#include "polygon/area_rules.h"
#include "base/database_folder.h"
#include "base/drive_file.h"
#include "base/program_values.h"

namespace kavlin::cli {

namespace {

constexpr const char* HELP = R"(Usage: kavlin-apply [--drive X] [--dry-run] KIND AREA
       kavlin-apply [--drive X] [--dry-run] --batch FILE
       kavlin-apply [--drive X] [--dry-run] --undo [RUN]
       kavlin-apply [--drive X] --history
       kavlin-apply [--drive X] --recover
       kavlin-apply [--drive X] --discard-journal
       kavlin-apply [--drive X] --check [AREA]

Sets or clears one land-cover flag for every grid point of an area and
rewrites the tile files the area touches, edge copies in the neighbouring
tiles included: the same modification as one run of the editor.

KIND, exactly one of:
  --kind N          N = 1 set sea, 2 clear sea, 3 set inland water,
                    4 clear inland water, 5 set coastal area, 6 clear coastal
                    area, 7 set town, 8 clear town, 9 set trees, 10 clear trees
  --set TYPE        the same as the odd kind of TYPE
  --clear TYPE      the same as the even kind of TYPE
                    TYPE is one of sea, inland-water, coastal-area, town, trees

AREA, exactly one of:
  --point LON LAT               one grid point; only a point that lies
                                exactly on a grid point changes anything
  --rect LON1 LAT1 LON2 LAT2    rectangle from its north-west corner
                                (LON1, LAT1) to its south-east corner
                                (LON2, LAT2); its west column and south row
                                are inside, its east column and north row not
  --polygon FILE                closed area whose vertices stand in a text
                                file, one "longitude latitude" per line (at
                                most 80 characters count; a line with more
                                than blanks beyond them is refused). FILE is
                                a path as the shell takes it (/home/me/a.txt,
                                ../areas/a.txt), or a program path that
                                starts with a drive letter, a colon and a
                                backslash (C:\POLY\A.TXT) and is found through
                                the drive table; at most 255 characters
  --area FILE NAME              area NAME of the areas file FILE, which
                                holds many areas, each begun by a line
                                "AREA NAME" (kavlin-polygon --each DIR
                                --one-file writes one); a batch reads each
                                areas file once for all its lines

Co-ordinates are signed decimal degrees, east and north positive (for
example 5.75, -0.5, 4.9e1). The values after --point and --rect are always
taken as values, so negative numbers need no quoting.

Options:
  --drive X    database drive X, a letter (X or X: both work; the database
               is X:\KAVLIN\...); without it the first character of
               DRIVE.DAT in the working directory names the drive, and
               drive C is used when DRIVE.DAT is missing or empty. A
               DRIVE.DAT that is there but cannot be read (a folder, a
               FIFO, a file you may not read) is a usage error. Drives
               map to folders through KAVLIN_DRIVES.
  --dry-run    write no tile: open the tiles for reading only, check them
               and list the tiles that would be rewritten, the neighbour
               tiles that would receive edge copies, and how many grid
               points and how many stored grid words would change (a point
               on the edge of a block or a tile is stored in two or four
               records). It reads under a shared lock (X:\KAVLIN\LOCK, made
               when missing and the folder may be written), waiting while
               a modification runs; a journal that a killed run left
               behind is rolled back first, as by any run (that rewrites
               the journaled tiles)
  --batch FILE make the modifications that FILE holds, one per line
               written as KIND AREA ("--set inland-water --polygon
               lakes/12.txt"), as one modification: see Batch below
  --undo       undo the last modification of the database: every grid
               word it changed gets its old value back, provided every one
               of them still holds the value that modification gave it;
               otherwise nothing is changed and the number of words changed
               since is reported. With --dry-run only the check is made,
               reading the tiles only under the shared lock (read-only
               tiles and media do).
  --undo RUN   undo run RUN of the history (see --history) from the undo
               record kept of it, under the same condition; when words it
               changed hold other values now, nothing is changed and the
               later run of the history that changed them is named. An
               undo is a run of the history too; it cannot be undone
  --history    list the runs that changed the database, newest first:
               when (UTC), what (the kinds, or the run undone), the area's
               extent and a fingerprint of its rings, the tiles, the grid
               points and stored words changed, and whether its undo
               record is kept. See History below
  --recover    only roll back the journal a killed or failed run left
               behind (X:\KAVLIN\JOURNAL), or say exactly why it cannot be
               (which tile, what is wrong)
  --discard-journal
               set a journal that cannot be rolled back aside under a
               dated name (X:\KAVLIN\JOURNAL-YYYYMMDD-HHMMSS, never
               deleted) and list the tiles it names: they may be
               half-modified
  -q, --quiet  show no progress (it is shown on a terminal)
  --progress   show the progress on standard error also when it is no terminal
  --check      read the database and report its faults, writing nothing:
               every tile file must be 144 whole records, and every grid
               word stored more than once (on the edges of blocks and
               tiles, the row at 50 degrees north in both spacings) must
               hold the same value in every copy. With an AREA only the
               tiles it touches are checked, with the copies of their
               points in the tiles around them. See Check below
  --help       show this text
  --version    show the version

The change masks of a dry run (GeoTIFFs of the grid points that would
change) are written by kavlin-export --preview DIR with the same KIND and
AREA: kavlin-apply loads no GIS library.

Safety: a modification is all or nothing. Before a tile file is written,
the grid words about to change are recorded in X:\KAVLIN\JOURNAL; when a
write fails, or the run is killed, the recorded words get their old values
back (after a kill, at the next start of kavlin-apply or the editor), so
every tile is as before the run. Only one modification of a database runs
at a time (X:\KAVLIN\LOCK): a second one waits for the first to end, and
dry runs that start while a modification waits wait behind it
(X:\KAVLIN\GATE), so a stream of dry runs never keeps it out; when the
lock cannot be taken (LOCK or GATE a folder or a link, a read-only folder)
nothing is written. Two tile names that are one file (links) are refused
before anything is written. The record of the last modification is kept
as X:\KAVLIN\UNDO for --undo. A damaged journal or undo record is never
acted on: it is kept, and the message says what to do.

History: every run that changes words, the editor's too, adds a line to
X:\KAVLIN\HISTORY once it is done. When a run replaces X:\KAVLIN\UNDO, the
record it replaces is kept as X:\KAVLIN\UNDO.<id>; the records of the
newest 10 modifications are kept (KAVLIN_UNDO_RUNS=N keeps N, 1 to 100),
each at most 256 MB (a changed record of a 3-second tile takes some 1.3 KB,
so a run over 36 whole tiles some 7 MB). The history keeps its newest
1500 to 3000 runs, in two files of at most 256 KB (HISTORY and HISTORY.OLD).

The area is checked as in the editor: a rectangle's south-east corner must
lie east and south of its north-west corner, an area may touch at most 36
one-degree tiles, and nothing south of the equator can be modified.

Batch: in FILE, "#" starts a comment and blank lines are skipped; a word
in double quotes may hold blanks; a line has at most 1024 characters, a
file at most 10000 modifications. A --polygon path that is neither
absolute nor a program path is relative to FILE's folder. Every line is
checked first, as a single run checks its area (corner order, the 36
tiles, the equator, the polygon file, the tile files): a refused line is
named by its number and nothing is written. Then the lines are applied in
their order as one run: one lock, one journal, every tile read and
written once, all or nothing, and one --undo for the whole batch. The
tiles end up as after running the lines one by one. A dry run reports
the totals and, per line, the grid points inside its area. A batch whose
journal could exceed 256 MB (judged from its areas; 595 whole tiles need
some 116 MB) is refused: split it.

Check: the tiles are read one after another, from south to north and
west to east, under the shared lock as a dry run reads them, a band of 12
records at a time. Every stored word is compared with the copy of its grid
point that was read first; nothing is repaired: which copy is right is
yours to decide. A tile file shorter than 144 records is not checked
further. Bits 5 to 15 carry data this program does not interpret: their
least and greatest value are told, not judged. An AREA is checked as for
a modification (the 36 tiles, the equator); of the tiles around it only
the records that hold copies of its points are read.

Output: messages go to standard error as "Caption: text", one per line.
On success standard output shows
  Info: All modifications are done!
  tiles rewritten: N
  grid words changed: M
and with --dry-run
  Dry run: no file was changed.
  tiles that would be rewritten: NAME ...
  neighbour tiles that would receive copies: NAME ... (or none)
  grid points that would change: P
  stored grid words that would change: M
and for a batch also, per line N of FILE,
  line N: grid points inside: Q
and with --check, for each tile with faults (the first 5 places, then a
count)
  NAME: size B bytes (N records and X bytes), not T (144 records of L bytes)
  NAME: grid words that differ from another copy of their point: D
    record R row L column K holds 0xWWWW, NAME2 record R2 row L2
    column K2 holds 0xVVVV      (one line)
    and M more
then the verdict (Check: no fault found. / Check: faults found. / Check:
not complete: tile files could not be read.) and the totals: tiles
checked, neighbour tiles read for the copies of edge points (with an
AREA), tile files of a wrong size, tile files that could not be read,
stored grid words checked, copies compared with another copy of their
point, copies that differ, tiles with faults, and bits 5 to 15 (not
judged): LEAST to GREATEST, not zero in W words.

Exit status:
  0  done (or dry run complete)
  1  the area or the polygon file (of a batch line) was refused; --undo:
     there is nothing to undo, or words have changed since; --undo RUN:
     no such run, an undo, undone already, or its record is not kept;
     --discard-journal: there is no journal
  2  usage error (unknown option, missing or bad value, no or two areas,
     no or two kinds, a kind outside 1 to 10, an unreadable DRIVE.DAT
     without --drive, a batch file that cannot be read or has such a
     line)
  3  a tile file could not be opened, read or written (the database is
     restored then: "Info: The database was restored: no tile was
     changed!" follows the error), two tiles are one file, the lock
     cannot be taken, a journal left behind cannot be rolled back or is
     damaged, the undo record is damaged, the journal or the undo record
     cannot be removed once its tiles are restored or undone (the message
     says so; the next start rolls such a journal back once more, which
     changes no tile), or the report could not be written to standard
     output (the tiles are modified then all the same), or the run is
     done but its line could not be added to the history; --check: a tile
     file could not be opened or read through (the rest is checked all
     the same), or the database holds no tile file
  4  --check: faults found (a tile file of a wrong size, copies of a
     grid point that differ)
  5  there is not enough memory ("Error: There is not enough memory for
     the modification! Modification is not possible!"): nothing was
     changed (what the run had written is restored, or 3 when that
     fails). A batch of 10000 points needs some 70 MB, a dry run over 504
     tiles some 23 MB.
)";

// Says which line of the batch file was refused, after its message.
void name_refused_line(std::ostream& err, const std::string& file, const BatchLine& line) {
  err << "kavlin-apply: line " << line.line << " of " << file << " (" << line.text
      << ") was refused: no file was changed\n";
}

// The modifications of a run: the one of the command line, or the lines
// of a batch file (named in the messages about them).
struct RunLines {
  std::vector<const AreaArgs*> areas;
  const BatchFile* batch = nullptr;
  std::string file;
  void name_refused(std::ostream& err, int32_t modification) const {
    if (batch != nullptr && modification >= 0) {
      name_refused_line(err, file, batch->lines[static_cast<std::size_t>(modification)]);
    }
  }
};

// A run of one or several modifications, with the lock held and the
// journal recovered: every area through the same checks first, then all of
// them as one run, and one report. After a successful dry run of one
// modification `preview`, when given, runs with the run's results.
int run_modifications(const RunLines& lines, FileServices& files, char drive, bool dry_run, ProgressLine& progress,
                      std::ostream& out, std::ostream& err, const PreviewWriter& preview) {
  // Each area through the same checks, before anything is written; each
  // line's table holds its own vertices only.
  const std::size_t count = lines.areas.size();
  std::vector<VertexTable> tables(count);
  const auto [refused, refusal] = fill_area_tables(lines.areas, files, tables);
  if (refused >= 0) {
    print_notice(err, refusal);
    lines.name_refused(err, refused);
    return EXIT_REFUSED;
  }
  std::vector<AreaModification> modifications;
  modifications.reserve(count);
  for (std::size_t n = 0; n < count; ++n) modifications.push_back({&tables[n], lines.areas[n]->kind});

  EngineOptions options;
  options.dry_run = dry_run;
  options.progress = [&progress](int32_t done, int32_t total) { progress.update(done, total); };
  // A grid point on a tile or block edge is stored up to four times: the
  // points are counted once each.
  GridPointCount changed_points;
  if (dry_run) {
    options.changed_record = [&changed_points](const std::string& tile, int32_t record, std::span<const uint8_t> words) {
      changed_points.add(tile, record, words);
    };
  }
  const SafeRunResult run = run_journaled(files, drive, modifications, options);
  progress.finish();
  const EngineResult& result = run.engine;
  switch (result.outcome) {
    case EngineOutcome::Done:
      if (dry_run) {
        out << "Dry run: no file was changed.\n"
            << "tiles that would be rewritten: " << join_names(result.listed_tiles) << "\n"
            << "neighbour tiles that would receive copies: " << join_names(result.neighbour_tiles) << "\n"
            << "grid points that would change: " << changed_points.points() << "\n"
            << "stored grid words that would change: " << result.words_changed << "\n";
        if (lines.batch != nullptr) {
          for (std::size_t n = 0; n < count; ++n) {
            out << "line " << lines.batch->lines[n].line << ": grid points inside: " << grid_points_inside(tables[n])
                << "\n";
          }
        } else if (preview) {
          return preview({files, drive, tables.front(), modifications.front().mod_kind, result.words_changed, out, err});
        }
      } else {
        out << "Info: All modifications are done!\n";
        if (lines.batch != nullptr) out << "lines applied: " << count << "\n";
        out << "tiles rewritten: " << result.tiles_rewritten << "\n"
            << "grid words changed: " << result.words_changed << "\n";
        // Done, but not in the history: said, and not a clean end.
        if (run.history_failure) {
          print_notice(err, *run.history_failure);
          return EXIT_FILE_ERROR;
        }
      }
      return EXIT_DONE;
    case EngineOutcome::Refused:
      print_notice(err, result.notice);
      lines.name_refused(err, result.failed_modification);
      return EXIT_REFUSED;
    case EngineOutcome::FileError:
      for (const Notice& notice : run.notices) print_notice(err, notice);
      if (run.out_of_memory) return run.restore_failed ? EXIT_FILE_ERROR : EXIT_OUT_OF_MEMORY;
      lines.name_refused(err, result.failed_modification);
      return EXIT_FILE_ERROR;
  }
  return EXIT_FILE_ERROR;
}

// Memory that ran out outside the journaled run's own guard (reading the
// batch file, filling the areas, counting a dry run's points, an undo):
// said on `err`. With the lock still held (`drive` given), a journal that
// an undo had begun is rolled back here and now.
int answer_out_of_memory(FileServices& files, std::optional<char> drive, std::ostream& err) {
  print_notice(err, {OUT_OF_MEMORY_TEXT, "Error"});
  if (!drive || files.FILE_KIND(journal_path(*drive)) == FILE_NOT_FOUND) return EXIT_OUT_OF_MEMORY;
  const Recovery recovery = recover_journal(files, *drive);
  if (recovery.state == Recovery::State::Failed) {
    print_notice(err, recovery.notice);
    return EXIT_FILE_ERROR;
  }
  print_notice(err, {RESTORED_TEXT, "Info"});
  return EXIT_OUT_OF_MEMORY;
}

// The check of the database, or of the tiles of the request's area, with
// the lock held and the journal recovered.
int run_check(const ApplyRequest& req, FileServices& files, char drive, std::ostream& out, std::ostream& err) {
  const CheckOutput output{[&out](const std::string& line) { out << line << "\n"; },
                           [&err](const Notice& notice) { print_notice(err, notice); }};
  DbCheckResult result;
  if (req.area == AreaKind::None) {
    result = check_database(files, files, drive, output);
  } else {
    VertexTable table;
    Notice refusal = fill_area_table(req, files, table);
    if (refusal.empty()) refusal = check_area(AREA_EXTENT(table));
    if (!refusal.empty()) {
      print_notice(err, refusal);
      return EXIT_REFUSED;
    }
    result = check_area_tiles(files, drive, AREA_EXTENT(table), output);
  }
  for (const std::string& line : check_summary(result)) out << line << "\n";
  if (result.unreadable > 0) return EXIT_FILE_ERROR;
  if (result.faults()) return EXIT_CHECK_FAULTS;
  if (result.tiles_checked == 0) {
    err << "kavlin-apply: no tile file in " << database_root(drive) << ": nothing was checked\n";
    return EXIT_FILE_ERROR;
  }
  return EXIT_DONE;
}

}  // namespace

const char* help_text() { return HELP; }

std::optional<int> answer_without_run(const char* tool, const ParseOutcome& parsed, const char* help, std::ostream& out,
                                      std::ostream& err) {
  switch (parsed.action) {
    case ParseOutcome::Action::Help:
      out << help;
      return EXIT_DONE;
    case ParseOutcome::Action::Version:
      out << version_line(tool);
      return EXIT_DONE;
    case ParseOutcome::Action::Usage:
      err << tool << ": " << parsed.error << "\nTry '" << tool << " --help' for more information.\n";
      return EXIT_USAGE;
    case ParseOutcome::Action::Run:
      break;
  }
  return std::nullopt;
}

std::string version_line(const char* tool) { return std::string(tool) + " " + PROGRAM_VERSION_TEXT + "\n"; }

void print_notice(std::ostream& err, const Notice& notice) { err << notice.caption << ": " << notice.text << "\n"; }

namespace {

// What the options given together make: a run, or the usage error of a
// combination that makes none.
ParseResult combined(ParseResult& result) {
  const ApplyRequest& req = result.request;
  auto usage = [&](std::string error) { return result.usage(std::move(error)); };
  if (req.recover || req.discard_journal) {
    const char* which = req.recover ? "--recover" : "--discard-journal";
    if (req.recover && req.discard_journal) return usage("only one of --recover, --discard-journal may be given");
    if (req.area != AreaKind::None || req.kind != 0 || req.undo || req.dry_run || req.batch_file || req.check ||
        req.history) {
      return usage(std::string(which) + " takes only --drive");
    }
    result.action = ParseResult::Action::Run;
    return result;
  }
  if (req.history) {
    if (req.area != AreaKind::None || req.kind != 0 || req.undo || req.dry_run || req.batch_file || req.check) {
      return usage("--history takes only --drive");
    }
    result.action = ParseResult::Action::Run;
    return result;
  }
  if (req.check) {
    if (req.kind != 0) return usage("--check takes no kind");
    if (req.undo || req.dry_run || req.batch_file) return usage("--check takes only --drive and an area");
    result.action = ParseResult::Action::Run;
    return result;
  }
  if (req.undo) {
    if (req.area != AreaKind::None || req.kind != 0) return usage("--undo takes no kind and no area");
    if (req.batch_file) return usage("--undo takes no --batch");
    result.action = ParseResult::Action::Run;
    return result;
  }
  if (req.batch_file) {
    if (req.area != AreaKind::None || req.kind != 0) {
      return usage("--batch takes no kind and no area on the command line (they stand in its lines)");
    }
    result.action = ParseResult::Action::Run;
    return result;
  }
  if (const std::string missing = missing_area_argument(req); !missing.empty()) return usage(missing);
  result.action = ParseResult::Action::Run;
  return result;
}

}  // namespace

ParseResult parse_arguments(const std::vector<std::string>& args) {
  ParseResult result;
  ApplyRequest& req = result.request;
  auto usage = [&](std::string error) { return result.usage(std::move(error)); };

  const std::size_t n = args.size();
  for (std::size_t a = 0; a < n; ++a) {
    const std::string& arg = args[a];
    if (asks_for_help(arg)) return result.help();
    if (asks_for_version(arg)) return result.version();
    std::string error;
    const Taken taken = take_area_argument(args, a, req, error);
    if (taken == Taken::Error) return usage(error);
    if (taken == Taken::Yes) continue;
    if (arg == "--dry-run") {
      req.dry_run = true;
    } else if (arg == "--batch") {
      if (a + 1 >= n) return usage("--batch needs 1 value");
      if (req.batch_file) return usage("--batch given twice");
      req.batch_file = args[++a];
      if (req.batch_file->empty()) return usage("--batch needs a file name");
    } else if (arg == "-q" || arg == "--quiet") {
      req.progress.quiet = true;
    } else if (arg == "--progress") {
      req.progress.forced = true;
    } else if (arg == "--recover") {
      req.recover = true;
    } else if (arg == "--discard-journal") {
      req.discard_journal = true;
    } else if (arg == "--undo") {
      req.undo = true;
      // An optional run number: a word of digits only.
      if (a + 1 < n && !args[a + 1].empty() &&
          args[a + 1].find_first_not_of("0123456789") == std::string::npos) {
        const std::string& number = args[++a];
        if (number.size() > 15 || std::stoll(number) == 0) return usage("--undo RUN needs a run number from 1 on");
        req.undo_run = std::stoll(number);
      }
    } else if (arg == "--history") {
      req.history = true;
    } else if (arg == "--check") {
      req.check = true;
    } else if (arg == "--preview") {
      return usage("--preview has moved to kavlin-export: kavlin-export --preview DIR KIND AREA");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option '" + arg + "'");
    } else {
      return usage("unexpected argument '" + arg + "'");
    }
  }
  return combined(result);
}

std::optional<char> read_drive_letter(TextFiles& files, std::ostream& err) {
  const DriveFileRead read = read_drive_file(files);
  if (read.unreadable) {
    // The host services report a FIFO, a device or a folder alike as
    // "is a directory".
    const std::string reason = read.error == EISDIR ? "it is not a regular file" : std::strerror(read.error);
    err << "kavlin-apply: DRIVE.DAT cannot be read (" << reason << "); name the drive with --drive X\n";
    return std::nullopt;
  }
  if (!read.notice.empty()) print_notice(err, read.notice);
  return read.letter;
}

int run_request(const ApplyRequest& req, FileServices& files, std::ostream& out, std::ostream& err,
                const PreviewWriter& preview) {
  // A batch file is read whole before the database is locked: a line
  // that is no modification is a usage error.
  BatchFile batch;
  if (req.batch_file) {
    try {
      batch = read_batch_file(files, *req.batch_file);
    } catch (const std::bad_alloc&) {
      return answer_out_of_memory(files, std::nullopt, err);
    }
    if (!batch.ok) {
      err << "kavlin-apply: " << batch.error << "\nTry 'kavlin-apply --help' for more information.\n";
      return EXIT_USAGE;
    }
  }
  const std::optional<char> drive_read = req.drive ? req.drive : read_drive_letter(files, err);
  if (!drive_read) return EXIT_USAGE;
  const char drive = *drive_read;

  // One modification of a database at a time, from before the checks until
  // the last tile is on the device (a dry run reads beside other readers);
  // a journal left behind is rolled back before anything else reads the
  // tiles.
  bool said_waiting = false;
  const Access how = req.dry_run || req.check || req.history ? Access::Read : Access::Modify;
  const DatabaseAccess access(files, drive, how, [&](const std::function<bool()>&) {
    if (!said_waiting) err << WAITING_LINE << std::flush;
    said_waiting = true;
  }, !req.discard_journal);
  for (const Notice& notice : access.notices()) print_notice(err, notice);
  if (!access.ok()) return EXIT_FILE_ERROR;
  if (req.recover) {
    if (!access.recovered()) out << "Info: There is no interrupted modification to undo!\n";
    return EXIT_DONE;
  }
  if (req.discard_journal) {
    const DiscardResult discarded = discard_journal(files, drive);
    print_notice(err, discarded.notice);
    switch (discarded.outcome) {
      case DiscardResult::Outcome::Done:
        return EXIT_DONE;
      case DiscardResult::Outcome::NoJournal:
        return EXIT_REFUSED;
      case DiscardResult::Outcome::Failed:
        break;
    }
    return EXIT_FILE_ERROR;
  }
  try {
    if (req.undo) return run_undo(files, drive, req.undo_run, req.dry_run, out, err);
    if (req.history) return list_history(files, drive, out, err);
    if (req.check) return run_check(req, files, drive, out, err);
    ProgressLine progress(err, req.show_progress);
    RunLines lines;
    if (req.batch_file) {
      lines.batch = &batch;
      lines.file = *req.batch_file;
      for (const BatchLine& line : batch.lines) lines.areas.push_back(&line.area);
    } else {
      if (req.area == AreaKind::None) {
        err << "kavlin-apply: no area given\n";
        return EXIT_USAGE;
      }
      lines.areas.push_back(&req);
    }
    return run_modifications(lines, files, drive, req.dry_run, progress, out, err, preview);
  } catch (const std::bad_alloc&) {
    return answer_out_of_memory(files, drive, err);
  }
}

}  // namespace kavlin::cli
