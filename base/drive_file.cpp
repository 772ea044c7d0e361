#include "base/drive_file.h"

namespace kavlin {

DriveFileRead read_drive_file(TextFiles& files) {
  DriveFileRead result;
  int32_t unit = 0;
  if (const int32_t rc = files.OPEN_TEXT_FILE(DRIVE_FILE, unit); rc != 0) {
    result.notice = {"Error opening DRIVE.DAT. Drive 'C' is used.", "Info"};
    result.unreadable = rc != FILE_NOT_FOUND;
    result.error = rc;
    return result;
  }
  std::string field(1, ' ');
  const int32_t rc = files.READ_TEXT_LINE(unit, field, 1);
  if (rc != 0 || field.empty()) {
    result.notice = {"Error reading DRIVE.DAT. Drive 'C' is used.", "Info"};
    // An empty file is at its end at once; any other failure is a file
    // that cannot be read.
    result.unreadable = rc != 0 && rc != END_OF_FILE;
    result.error = rc;
  } else {
    result.letter = field[0];
  }
  files.CLOSE_FILE(unit);
  return result;
}

}  // namespace kavlin
