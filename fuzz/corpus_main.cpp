// Replays a fuzz target's kept corpus: every file under the folders (or files)
// named on the command line is fed once to LLVMFuzzerTestOneInput.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool runFile(const std::filesystem::path& p)
{
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", p.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv)
{
  size_t count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path root(argv[i]);
    if (std::filesystem::is_directory(root)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) {
          ok = runFile(e.path()) && ok;
          ++count;
        }
    } else {
      ok = runFile(root) && ok;
      ++count;
    }
  }
  std::printf("%zu corpus inputs replayed\n", count);
  if (count == 0) {
    std::fprintf(stderr, "empty corpus\n");
    return 1;
  }
  return ok ? 0 : 1;
}
