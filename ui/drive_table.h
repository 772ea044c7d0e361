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

  // Host path of a program path such as C:\KAVLIN\E006\E006N49.33M. The
  // drive maps through the table; each later component (separated by a
  // backslash or a slash) is the exact name when that exists, otherwise the
  // first entry of the folder whose name matches it case-insensitively,
  // otherwise the name as given. "." is dropped and ".." goes up one level,
  // never above the drive's root. Empty when the path names no drive of
  // the table (a "1:" included) or holds a NUL byte.
  std::optional<std::string> resolve(std::string_view program_path) const;

 private:
  std::string folder_;
};

}  // namespace kavlin
