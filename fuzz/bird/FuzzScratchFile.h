#pragma once
// A scratch file for fuzz targets whose code under test reads paths: one per
// process, on a memory file system when there is one, removed at exit.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

class FuzzScratchFile {
public:
  explicit FuzzScratchFile(const char* tag)
  {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(dir) + "/jv-fuzz-" + tag + "-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    close(fd);
    path_ = pattern;
  }
  ~FuzzScratchFile() { std::remove(path_.c_str()); }

  // Replaces the file's content; aborts when it cannot (the run would be
  // meaningless).
  const std::string& write(const uint8_t* data, size_t size) const
  {
    FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
      std::perror(path_.c_str());
      std::abort();
    }
    return path_;
  }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};
