// Drive letters on this host. Drive X is the entry named "x:" (a folder or
// a symlink to one; the letter matched case-insensitively) inside the
// drives folder, which the environment variable KAVLIN_DRIVES names
// (default ~/.local/share/kavlin/drives). Without such a folder the only
// drive is C, mapped to "/".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavlin {

// A drive letter: A to Z in either case.
bool is_drive_letter(char c);

// The drive letter of a command-line value "X" or "X:", as given (case
// kept); empty for anything else.
std::optional<char> drive_argument(std::string_view value);

class DriveTable {
 public:
  // The drives folder named by KAVLIN_DRIVES, or the default one.
  static DriveTable from_environment();
  static std::string default_drives_folder();

  explicit DriveTable(std::string drives_folder);

  const std::string& drives_folder() const { return folder_; }

  // 26 characters: 'A' + i where drive i exists, a blank otherwise.
  std::string letters() const;

  // Host folder of a drive (the entry itself, not resolved), if the drive
  // exists in the table.
  std::optional<std::string> drive_root(char letter) const;

  // The entry of the drives folder that serves drive `letter`, existing or
  // not: the one drive_root finds there, else the lower-case "x:". For
  // making a drive; the folder itself need not exist. Empty for a
  // character that is no drive letter, or without a drives folder name.
  std::optional<std::string> drive_entry(char letter) const;

  // Host path of a program path such as C:\KAVLIN\E006\E006N49.33M. The
  // drive maps through the table; each later component (separated by a
  // backslash or a slash) is the exact name when that exists, otherwise the
  // first entry of the folder whose name matches it case-insensitively,
  // otherwise the name as given. "." is dropped and ".." goes up one level,
  // never above the drive's root. Empty when the path names no drive of
  // the table (a "1:" included) or holds a NUL byte.
  std::optional<std::string> resolve(std::string_view program_path) const;

 private:
  // The "x:" or "X:" entry of the drives folder that is a folder or a
  // symbolic link, lower case first.
  std::optional<std::string> existing_entry(char upper) const;
  std::string folder_;
};

}  // namespace kavlin
