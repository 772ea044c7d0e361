// Where a database lies on its drive: the tile folders and the database's
// own files (a run's journal, the undo record, the lock) are all in the
// folder KAVLIN below the drive's root, X:\KAVLIN\ as a program path.
#pragma once

#include <string>
#include <string_view>

namespace kavlin {

// The database folder's name below the drive's root.
inline constexpr std::string_view DATABASE_FOLDER = "KAVLIN";

// X:\KAVLIN\ for drive letter `drive`: how every program path of the
// database starts.
inline std::string database_root(char drive) {
  std::string root(1, drive);
  root += ":\\";
  root += DATABASE_FOLDER;
  root += '\\';
  return root;
}

}  // namespace kavlin
