// Drives and folder listings.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <memory>

#include "ui/ascii_text.h"
#include "ui/host_file_parts.h"

namespace kavlin {

using namespace host_files;

namespace {

// Name order: ignoring the case of ASCII letters, byte by byte; names
// equal but for case in the order of their bytes.
bool name_before(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(ascii_lower(a[i]));
    const auto y = static_cast<unsigned char>(ascii_lower(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

std::string HostFileServices::DRIVE_LETTERS() { return drives_.letters(); }

bool HostFileServices::DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) {
  total_bytes = 0;
  free_bytes = 0;
  if (letter.empty()) return false;
  const std::optional<std::string> root = drives_.drive_root(letter.front());
  if (!root) return false;
  // A drive answers when its folder can be listed; a dangling link or a
  // folder we may not read is a drive that is not ready.
  struct stat st {};
  if (::stat(root->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  DIR* dir = ::opendir(root->c_str());
  if (dir == nullptr) return false;
  ::closedir(dir);
  struct statvfs vfs {};
  if (::statvfs(root->c_str(), &vfs) != 0) return false;
  const auto unit = static_cast<int64_t>(vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize);
  total_bytes = static_cast<int64_t>(vfs.f_blocks) * unit;
  free_bytes = static_cast<int64_t>(vfs.f_bavail) * unit;
  return true;
}

bool HostFileServices::NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) {
  entry = DirEntry{};
  if (handle == 0) {
    // The pattern is a folder followed by a name pattern such as "*.*".
    const std::size_t cut = pattern.find_last_of("\\/");
    if (cut == std::string::npos || cut + 1 >= pattern.size()) return false;
    // No name holds a NUL; the matcher would stop reading the pattern there.
    if (pattern.find('\0') != std::string::npos) return false;
    const std::optional<std::string> folder = drives_.resolve(pattern.substr(0, cut + 1));
    if (!folder) return false;
    DIR* dir = ::opendir(folder->c_str());
    if (dir == nullptr) return false;
    auto search = std::make_unique<Search>();
    search->folder = *folder;
    // "*.*" and "*" match every name, those without a dot included; any
    // other pattern is matched with the shell's rules, ignoring case.
    const std::string name_pattern = pattern.substr(cut + 1);
    const bool match_all = name_pattern == "*.*" || name_pattern == "*";
    // A read error ends the folder: what was read before it is handed out.
    while (const dirent* e = ::readdir(dir)) {
      if (!match_all && ::fnmatch(name_pattern.c_str(), e->d_name, FNM_CASEFOLD) != 0) continue;
      search->entries.push_back({e->d_name, e->d_type});
    }
    ::closedir(dir);
    std::sort(search->entries.begin(), search->entries.end(),
              [](const Search::Found& a, const Search::Found& b) { return name_before(a.name, b.name); });
    handle = take_handle(searches_, next_search_);
    searches_.emplace(handle, std::move(search));
  }
  const auto it = searches_.find(handle);
  if (it == searches_.end()) {
    handle = 0;
    return false;
  }
  Search& search = *it->second;
  if (search.next >= search.entries.size()) {
    END_DIR_SEARCH(handle);
    return false;
  }
  const Search::Found& found = search.entries[search.next++];
  bool directory = false;
  if (found.type == DT_DIR) {
    directory = true;
  } else if (found.type == DT_LNK || found.type == DT_UNKNOWN) {
    // The directory flag follows symbolic links.
    std::string path = search.folder;
    if (path.empty() || path.back() != '/') path.push_back('/');
    path += found.name;
    struct stat st {};
    directory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  entry.name = found.name;
  entry.is_directory = directory;
  return true;
}

void HostFileServices::END_DIR_SEARCH(int32_t& handle) {
  searches_.erase(handle);
  handle = 0;
}

}  // namespace kavlin
