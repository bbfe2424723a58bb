// Reads arbitrary bytes as a settings file and checks what the reader made
// of them: pairs hold no line ends nor untrimmed blanks, and a saved store
// reads back as the same pairs once the forms a save cannot carry (keys
// beginning with "#", an empty key with an empty value) are gone.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "../bird/FuzzScratchFile.h"
#include "KeyValueStore.h"

namespace {

void check(bool ok)
{
  if (!ok)
    __builtin_trap();
}

bool blank(char c)
{
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool trimmed(const std::string& s)
{
  return s.empty() || (!blank(s.front()) && !blank(s.back()));
}

using Pairs = std::map<std::string, std::string>;

Pairs saveAndReload(KeyValueStore& store, const std::string& path)
{
  check(store.Save(path.c_str()));
  KeyValueStore back;
  back.Load(path.c_str(), false);
  check(!back.Changed());
  return back.Pairs();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static const FuzzScratchFile input("settings-in");
  static const FuzzScratchFile output("settings-out");
  KeyValueStore store;
  store.Load(input.write(data, size).c_str(), false);
  check(!store.Changed());

  Pairs expect;
  for (const auto& [key, value] : store.Pairs()) {
    check(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    check(key.find('=') == std::string::npos);
    check(trimmed(key) && trimmed(value));
    if (!(key.empty() && value.empty()) && key.rfind('#', 0) != 0)
      expect.emplace(key, value);
  }

  store.GetInt("LATEST_DOWNLOAD", 0);
  store.GetHex("HEX", 0);
  store.GetDouble("D", 0.0);
  store.GetBOOL("B", false);
  // The numeric getters insert the keys they looked for, empty.
  for (const char* k : {"LATEST_DOWNLOAD", "HEX", "D", "B"})
    if (!expect.count(k))
      expect.emplace(k, "");

  Pairs once = saveAndReload(store, output.path());
  check(once == expect);
  KeyValueStore again;
  again.Load(output.path().c_str(), false);
  check(saveAndReload(again, output.path()) == once);
  return 0;
}
