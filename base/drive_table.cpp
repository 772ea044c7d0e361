#include "base/drive_table.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/ascii_text.h"

namespace kavlin {

namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool entry_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

// The entry of `folder` that `name` stands for: the exact name when it
// exists, else the first entry whose name matches it case-insensitively,
// else the name itself.
std::string match_component(const std::string& folder, std::string_view name) {
  if (entry_exists(join(folder, name))) return std::string(name);
  if (DIR* dir = ::opendir(folder.c_str())) {
    std::string found(name);
    while (const dirent* e = ::readdir(dir)) {
      const std::string_view entry(e->d_name);
      if (entry == "." || entry == "..") continue;
      if (equal_ignoring_case(entry, name)) {
        found = std::string(entry);
        break;
      }
    }
    ::closedir(dir);
    return found;
  }
  return std::string(name);
}

// Walks the components of `rest` down from `root`; ".." never climbs above
// `root`.
std::string walk(const std::string& root, std::string_view rest) {
  std::vector<std::string> parts;
  std::string current = root;
  std::size_t pos = 0;
  while (pos <= rest.size()) {
    std::size_t next = rest.find_first_of("\\/", pos);
    if (next == std::string_view::npos) next = rest.size();
    const std::string_view name = rest.substr(pos, next - pos);
    pos = next + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      std::string folder = root;
      for (const std::string& p : parts) folder = join(folder, p);
      parts.push_back(match_component(folder, name));
    }
  }
  for (const std::string& p : parts) current = join(current, p);
  return current;
}

}  // namespace

DriveTable::DriveTable(std::string drives_folder) : folder_(std::move(drives_folder)) {}

std::string DriveTable::default_drives_folder() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::string();
  return join(home, ".local/share/kavlin/drives");
}

DriveTable DriveTable::from_environment() {
  const char* folder = std::getenv("KAVLIN_DRIVES");
  if (folder != nullptr && *folder != '\0') return DriveTable(folder);
  return DriveTable(default_drives_folder());
}

bool is_drive_letter(char c) {
  const char upper = ascii_upper(c);
  return upper >= 'A' && upper <= 'Z';
}

std::optional<char> drive_argument(std::string_view value) {
  const bool shape = value.size() == 1 || (value.size() == 2 && value[1] == ':');
  if (!shape || !is_drive_letter(value[0])) return std::nullopt;
  return value[0];
}

std::optional<std::string> DriveTable::existing_entry(char upper) const {
  // A drive's entry is a folder or a symbolic link (a dangling link is a
  // drive that is not ready); a plain file is no drive.
  const char lower = ascii_lower(upper);
  for (const char c : {lower, upper}) {
    const std::string name{c, ':'};
    const std::string path = join(folder_, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) return path;
  }
  return std::nullopt;
}

std::optional<std::string> DriveTable::drive_root(char letter) const {
  if (!is_drive_letter(letter)) return std::nullopt;
  const char upper = ascii_upper(letter);
  if (folder_.empty() || !is_directory(folder_)) {
    if (upper == 'C') return std::string("/");
    return std::nullopt;
  }
  return existing_entry(upper);
}

std::optional<std::string> DriveTable::drive_entry(char letter) const {
  if (folder_.empty() || !is_drive_letter(letter)) return std::nullopt;
  const char upper = ascii_upper(letter);
  if (std::optional<std::string> existing = existing_entry(upper)) return existing;
  return join(folder_, std::string{ascii_lower(upper), ':'});
}

std::string DriveTable::letters() const {
  std::string result(26, ' ');
  for (int i = 0; i < 26; ++i) {
    const char letter = static_cast<char>('A' + i);
    if (drive_root(letter)) result[static_cast<std::size_t>(i)] = letter;
  }
  return result;
}

std::optional<std::string> DriveTable::resolve(std::string_view program_path) const {
  if (program_path.empty()) return std::nullopt;
  // The host reads a path only up to its first NUL: a path holding one
  // would stand for another, shorter path (even one above the drive root).
  if (program_path.find('\0') != std::string_view::npos) return std::nullopt;
  // "X:" in front names a drive; one that is no letter names no drive.
  const bool has_drive = program_path.size() >= 2 && program_path[1] == ':';
  if (has_drive) {
    const std::optional<std::string> root = drive_root(program_path[0]);
    if (!root) return std::nullopt;
    return walk(*root, program_path.substr(2));
  }
  // A path that starts at a root but names no drive is not a path of this
  // program.
  if (program_path.front() == '\\' || program_path.front() == '/') return std::nullopt;
  // Without a drive letter: relative to the working folder.
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    cwd.resize(cwd.size() * 2);
  }
  return walk(std::string(cwd.data()), program_path);
}

}  // namespace kavlin
