#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

Argv::Argv(std::initializer_list<const char*> words)
{
  build(std::vector<std::string>(words.begin(), words.end()));
}

Argv::Argv(const std::vector<std::string>& words)
{
  build(words);
}

void Argv::build(const std::vector<std::string>& words)
{
  for (const std::string& w : words)
    storage_.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
  for (auto& s : storage_)
    ptrs_.push_back(s.data());
  ptrs_.push_back(nullptr);
}

std::vector<std::string> Argv::words() const
{
  std::vector<std::string> out;
  for (size_t i = 0; i + 1 < ptrs_.size(); ++i)
    out.emplace_back(ptrs_[i]);
  return out;
}

std::vector<std::string> RecordingDisplay::at(Level level) const
{
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.first == level)
      out.push_back(l.second);
  return out;
}

std::string ReadFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TempDir::TempDir()
{
  std::string tmpl = (std::filesystem::temp_directory_path() / "jv_app_XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir()
{
  std::error_code ec;
  if (!path_.empty())
    std::filesystem::remove_all(path_, ec);
}

ReachableUpdater::ReachableUpdater()
{
  namespace fs = std::filesystem;
  if (dir_.path().empty()) {
    whyNot_ = "no temporary directory";
    return;
  }
  // Every directory above the copy must let others pass, or the copy is as
  // far out of reach as the build tree.
  for (fs::path p = fs::path(dir_.path()).parent_path();; p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
      whyNot_ = "other users cannot enter " + p.string() + ", above the temporary directory";
      return;
    }
    if (p == p.root_path())
      break;
  }
  const fs::path copy = fs::path(dir_.path()) / "updater";
  std::error_code ec;
  fs::copy_file(fs::path(JV_BINARY_DIR) / "updater", copy, ec);
  if (!ec)
    fs::permissions(dir_.path(), fs::perms(0755), ec);
  if (!ec)
    fs::permissions(copy, fs::perms(0755), ec);
  if (ec) {
    whyNot_ = "cannot copy the updater to " + dir_.path() + ": " + ec.message();
    return;
  }
  path_ = copy.string();
}
