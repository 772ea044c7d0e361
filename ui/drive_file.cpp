#include "ui/drive_file.h"

namespace kavlin {

DriveFileRead read_drive_file(FileServices& files) {
  DriveFileRead result;
  int32_t unit = 0;
  if (files.OPEN_TEXT_FILE(DRIVE_FILE, unit) != 0) {
    result.notice = {"Error opening DRIVE.DAT. Drive 'C' is used.", "Info"};
    return result;
  }
  std::string field(1, ' ');
  if (files.READ_TEXT_LINE(unit, field, 1) != 0 || field.empty()) {
    result.notice = {"Error reading DRIVE.DAT. Drive 'C' is used.", "Info"};
  } else {
    result.letter = field[0];
  }
  files.CLOSE_FILE(unit);
  return result;
}

}  // namespace kavlin
