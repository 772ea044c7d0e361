// DRIVE.DAT: the one-line text file in the working folder whose first
// character names the drive of the database. The editor's start-up and
// kavlin-apply read it the same way; each shows the notice its own way.
#pragma once

#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

inline constexpr const char* DRIVE_FILE = "DRIVE.DAT";
inline constexpr char DEFAULT_DRIVE = 'C';

struct DriveFileRead {
  char letter = DEFAULT_DRIVE;
  Notice notice;  // empty when the letter was read
  // DRIVE.DAT is there but could not be read as a file (a folder, a FIFO,
  // a file the user may not read, a failed read): `error` holds the
  // service's code. A missing or empty file is not unreadable. The editor
  // goes on with drive C all the same; kavlin-apply refuses to guess.
  bool unreadable = false;
  int32_t error = 0;
};

// The first character of DRIVE.DAT's first line, unchanged (no check, no
// case change). A file that cannot be opened, or whose first line cannot be
// read or is empty, gives drive C and an "Info" notice saying which of the
// two failed. The file is closed in every case.
DriveFileRead read_drive_file(TextFiles& files);

}  // namespace kavlin
