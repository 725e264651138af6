// The file list: reading a folder and matching file masks.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/Files.h"
#include "platform/toolkit/Controls.h"

namespace {

// Windows' wildcard match: '*' any run, '?' any one character, letters
// compared ignoring ASCII case.
bool MatchPattern(std::string_view name, std::string_view pattern) {
  std::size_t n = 0;
  std::size_t p = 0;
  std::size_t starP = std::string_view::npos;
  std::size_t starN = 0;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

bool MatchOne(std::string_view name, std::string_view pattern) {
  // A folder in front of the pattern is not part of it.
  const std::size_t slash = pattern.find_last_of("\\/");
  if (slash != std::string_view::npos) pattern = pattern.substr(slash + 1);
  if (pattern.empty()) return false;
  // "*.*" means every name, also one without a dot; so does "*".
  if (pattern == "*.*" || pattern == "*") return true;
  // "name." asks for a name without an extension.
  if (pattern.size() > 1 && pattern.back() == '.' && pattern[pattern.size() - 2] != '.') {
    if (name.find('.') != std::string_view::npos) return false;
    return MatchPattern(name, pattern.substr(0, pattern.size() - 1));
  }
  return MatchPattern(name, pattern);
}

}  // namespace

bool MatchesFileMask(std::string_view name, std::string_view mask) {
  while (true) {
    const std::size_t semi = mask.find(';');
    std::string_view one = mask.substr(0, semi);
    while (!one.empty() && one.front() == ' ')
      one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ')
      one.remove_suffix(1);
    if (MatchOne(name, one)) return true;
    if (semi == std::string_view::npos) return false;
    mask = mask.substr(semi + 1);
  }
}

TFileListBox::TFileListBox(TComponent* owner) : TCustomListBox(owner) {
  PublishString(
      "Directory", [this] { return directory_; },
      [this](const std::string& v) { SetDirectory(v); });
  PublishString(
      "Mask", [this] { return mask_; }, [this](const std::string& v) { SetMask(v); });
}

void TFileListBox::SetDirectory(const std::string& v) {
  directory_ = v;
  if (!IsLoading()) Update();
}

void TFileListBox::SetMask(const std::string& v) {
  mask_ = v.empty() ? std::string("*.*") : v;
  if (!IsLoading()) Update();
}

std::string TFileListBox::NativeDirectory() const {
  return directory_.empty() ? std::string(".") : platform::NativePath(directory_);
}

void TFileListBox::Update() {
  std::vector<std::string> names;
  const std::string folder = NativeDirectory();
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      struct stat st {};
      if (::stat((folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      if (MatchesFileMask(name, mask_)) names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return LowerCase(a) < LowerCase(b); });
  TStrings list;
  for (const auto& n : names)
    list.Add(n);
  Items().Assign(list);
}
