// Drives and folder listings, through std::filesystem.
#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "base/ascii_text.h"
#include "base/host_file_parts.h"

namespace kavlin {

namespace fs = std::filesystem;

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
  std::error_code ec;
  if (!fs::is_directory(*root, ec)) return false;
  if (const fs::directory_iterator listing(*root, ec); ec) return false;
  const fs::space_info space = fs::space(*root, ec);
  if (ec) return false;
  // What an unprivileged user may still write counts as free.
  total_bytes = static_cast<int64_t>(space.capacity);
  free_bytes = static_cast<int64_t>(space.available);
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
    std::error_code ec;
    fs::directory_iterator it(*folder, ec);
    if (ec) return false;
    auto search = std::make_unique<Search>();
    // "*.*" and "*" match every name, those without a dot included; any
    // other pattern is matched with the shell's rules, ignoring case.
    const std::string name_pattern = pattern.substr(cut + 1);
    const bool match_all = name_pattern == "*.*" || name_pattern == "*";
    const auto matches = [&](const std::string& name) {
      return match_all || ::fnmatch(name_pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
    };
    // Every folder lists itself and its parent, which the iterator leaves
    // out.
    for (const char* dots : {".", ".."}) {
      if (matches(dots)) search->entries.push_back({dots, {}});
    }
    // A read error ends the folder: what was read before it is handed out.
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      std::string name = it->path().filename().native();
      if (matches(name)) search->entries.push_back({std::move(name), *it});
    }
    std::sort(search->entries.begin(), search->entries.end(),
              [](const Search::Found& a, const Search::Found& b) { return name_before(a.name, b.name); });
    handle = host_files::take_handle(searches_, next_search_);
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
  // The folder flag follows symbolic links; a dangling one is no folder.
  std::error_code ec;
  entry.name = found.name;
  entry.is_directory = found.entry.path().empty() || found.entry.is_directory(ec);
  return true;
}

void HostFileServices::END_DIR_SEARCH(int32_t& handle) {
  searches_.erase(handle);
  handle = 0;
}

}  // namespace kavlin
