#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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
