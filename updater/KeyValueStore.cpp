#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "UpdaterStoreFile.h"
#include "UpdaterStoreLock.h"
#include "UpdaterStorePath.h"
#include "aError.h"
#include "aFileLine.h"

#include <fcntl.h>
#include <unistd.h>

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr size_t kLineBufferSize = 2048;
// The longest key and value a line can carry both ways: the reader takes a
// line of up to 2047 characters (its buffer keeps the terminator), and the
// writer adds "=" and a newline. A line read without "=" gains one when it
// is written back, so the reader holds it to the same bound.
constexpr size_t kLongestPair = kLineBufferSize - 3;

bool fitsOnALine(size_t keyLength, size_t valueLength) {
  return keyLength + valueLength <= kLongestPair;
}

// Local time as ctime writes it, without its newline.
std::string timeText() {
  time_t now = time(nullptr);
  char buf[64];
  if (!ctime_r(&now, buf))
    return std::string();
  std::string text(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

bool isBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// One line of the file (newline included) into a pair; false when the line
// carries none.
bool parseLine(const char* s, size_t n, std::string& key, std::string& value) {
  if (n < 3 || s[0] == '#')
    return false;
  size_t begin = 0;
  while (begin < n && isBlank(s[begin]))
    ++begin;
  const void* eq = std::memchr(s + begin, '=', n - begin);
  size_t keyEnd = eq ? size_t(static_cast<const char*>(eq) - s) : n;
  size_t end = keyEnd;
  while (end > begin && isBlank(s[end - 1]))
    --end;
  // A line of blanks holds nothing; without "=" the trimmed line is a key
  // with an empty value, so the text survives the next save.
  if (!eq && end == begin)
    return false;
  key.assign(s + begin, end - begin);
  value.clear();
  if (eq) {
    size_t vb = keyEnd + 1;
    size_t ve = n;
    while (vb < ve && isBlank(s[vb]))
      ++vb;
    while (ve > vb && isBlank(s[ve - 1]))
      --ve;
    value.assign(s + vb, ve - vb);
  }
  return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path)
    Load(path);
}

KeyValueStore::KeyValueStore(const KeyValueStore& other) = default;
KeyValueStore& KeyValueStore::operator=(const KeyValueStore& other) = default;

KeyValueStore::~KeyValueStore() {
  m_pairs.clear();
}

KeyValueStore::ReadResult KeyValueStore::readPairs(const char* path, std::map<std::string, std::string>& pairs,
                                                   int* openErr, std::string* refusal) {
  const UpdaterStoreOpen opened = UpdaterStorePath_OpenFile(path, O_RDONLY);
  *openErr = opened.err;
  if (opened.Refused()) {
    *refusal = opened.refusal;
    Log::log(DEBUG_Attributes, "Attibutes: Error - %s; it is neither read nor saved over\n", refusal->c_str());
    return ReadResult::Refused;
  }
  FILE* f = opened.fd < 0 ? nullptr : ::fdopen(opened.fd, "r");
  if (!f) {
    if (opened.fd >= 0) {
      *openErr = errno;
      ::close(opened.fd);
    }
    return *openErr == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
  }

  ReadResult result = ReadResult::Read;
  char line[kLineBufferSize];
  size_t len = 0;
  bool inLongLine = false;
  std::string key, value;
  for (;;) {
    aErr r = aFile_ReadStreamLine(f, line, sizeof line, &len);
    if (r == aErrOverrun) {
      // The rest of an over-long line arrives in pieces; drop them all, but
      // keep reading, or the next save would lose every later pair.
      if (!inLongLine)
        Log::log(DEBUG_Attributes, "Attibutes: skipping a line longer than %zu characters in '%s'\n", sizeof line - 2,
                 path);
      inLongLine = true;
      continue;
    }
    if (r != aErrNone) {
      if (r != aErrEOF) {
        result = ReadResult::Unreadable;
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading '%s'; it will not be saved over\n", int(r), path);
      }
      break;
    }
    if (inLongLine) {
      inLongLine = false;
      continue;
    }
    if (!parseLine(line, len, key, value))
      continue;
    if (!fitsOnALine(key.size(), value.size())) {
      Log::log(DEBUG_Attributes, "Attibutes: skipping a pair in '%s' that a save could not write back whole\n", path);
      continue;
    }
    pairs.insert_or_assign(key, value);
  }
  std::fclose(f);
  return result;
}

void KeyValueStore::Load(const char* path, bool createMissing) {
  if (!path)
    return;
  int openErr = 0;
  m_refusal.clear();
  ReadResult read = readPairs(path, m_pairs, &openErr, &m_refusal);
  if (read != ReadResult::Read && openErr != 0)
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, openErr);
  m_path = path;
  m_mergePath = path;
  m_setKeys.clear();
  m_replaceAll = false;
  if (read == ReadResult::Unreadable || read == ReadResult::Refused) {
    m_unreadablePath = path;
    if (openErr != 0)
      Log::log(DEBUG_Attributes, "Attibutes: Error - '%s' cannot be read; it will not be saved over\n", path);
    m_changed = false;
    return;
  }
  if (m_unreadablePath == path)
    m_unreadablePath.clear();
  if (read == ReadResult::Missing && createMissing) {
    // Runs that open one module at once must not each create the file: the
    // last one would replace what the first already saved in it.
    UpdaterStoreDirectoryLock lock(path);
    read = readPairs(path, m_pairs, &openErr, &m_refusal);
    if (read == ReadResult::Missing) {
      std::string now = timeText();
      set(KEY_CREATED_TIME, now);
      m_pairs[KEY_UPDATED_TIME] = now;
      m_changed = false;
      writeOut();
    } else if (read != ReadResult::Read) {
      m_unreadablePath = path;
    }
  }
  m_changed = false;
}

bool KeyValueStore::Save(const char* path) {
  if (path) {
    m_path = path;
  } else if (m_path.empty()) {
    m_path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", m_path.c_str());
  }
  UpdaterStoreDirectoryLock lock(m_path);
  if (!m_replaceAll && m_path == m_mergePath)
    mergeFromFile();
  return writeOut();
}

void KeyValueStore::mergeFromFile() {
  std::map<std::string, std::string> onDisk;
  int openErr = 0;
  switch (readPairs(m_path.c_str(), onDisk, &openErr, &m_refusal)) {
    case ReadResult::Unreadable:
    case ReadResult::Refused:
      m_unreadablePath = m_path;
      return;
    case ReadResult::Missing:
      // Gone since it was read: nothing to keep, and nothing unread to spare.
      if (m_unreadablePath == m_path)
        m_unreadablePath.clear();
      return;
    case ReadResult::Read:
      break;
  }
  if (m_unreadablePath == m_path)
    m_unreadablePath.clear();
  for (const auto& [k, v] : onDisk) {
    if (m_setKeys.count(k) == 0)
      m_pairs.insert_or_assign(k, v);
    else if (m_pairs[k] != v)
      m_changed = true;
  }
  for (const std::string& k : m_setKeys)
    if (onDisk.count(k) == 0 && !m_pairs[k].empty())
      m_changed = true;
}

void KeyValueStore::noteSaved() {
  m_changed = false;
  m_setKeys.clear();
  m_replaceAll = false;
  m_mergePath = m_path;
  m_refusal.clear();
}

bool KeyValueStore::writeOut() {
  if (!m_unreadablePath.empty() && m_path == m_unreadablePath) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - not saving over '%s', which could not be read\n", m_path.c_str());
    return false;
  }
  if (m_changed)
    m_pairs[KEY_UPDATED_TIME] = timeText();
  std::string text;
  for (const auto& [k, v] : m_pairs) {
    text += k;
    text += '=';
    text += v;
    text += '\n';
  }
  std::string why;
  bool refused = false;
  aErr err = UpdaterStore_ReplaceFile(m_path, text.data(), text.size(), &why, &refused);
  if (refused)
    m_refusal = why;
  if (err != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             m_path.c_str(), errno);
    Log::log(DEBUG_Attributes, "Attibutes: %s\n", why.c_str());
    return false;
  }
  noteSaved();
  return true;
}

bool KeyValueStore::Clear() {
  m_pairs.clear();
  m_changed = true;
  m_replaceAll = true;
  return true;
}

const std::string* KeyValueStore::find(const char* key) const {
  if (!key)
    return nullptr;
  auto it = m_pairs.find(key);
  return it == m_pairs.end() ? nullptr : &it->second;
}

const char* KeyValueStore::operator[](const char* key) const {
  const std::string* v = find(key);
  return v ? v->c_str() : nullptr;
}

const std::string& KeyValueStore::valueForGet(const char* key) {
  // A key no line could carry is not added: the save would drop it.
  static const std::string kNone;
  if (!fitsOnALine(std::strlen(key), 0)) {
    const std::string* v = find(key);
    return v ? *v : kNone;
  }
  return m_pairs[key];
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  if (!key)
    return defaultValue;
  const std::string& v = valueForGet(key);
  return v.empty() ? defaultValue : std::atoi(v.c_str());
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  if (!key)
    return defaultValue;
  const std::string& v = valueForGet(key);
  return v.empty() ? defaultValue : uint32_t(std::strtol(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  if (!key)
    return defaultValue;
  const std::string& v = valueForGet(key);
  return v.empty() ? defaultValue : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  if (!key)
    return defaultValue;
  const std::string& v = valueForGet(key);
  return v.empty() ? defaultValue : std::atof(v.c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const std::string* v = find(key);
  if (v)
    return *v;
  return defaultValue ? std::string(defaultValue) : std::string();
}

bool KeyValueStore::set(const char* key, const std::string& value) {
  if (!key)
    return false;
  if (!fitsOnALine(std::strlen(key), value.size())) {
    Log::log(DEBUG_Attributes, "Attibutes: refusing a pair of %zu characters, longer than a line can carry\n",
             std::strlen(key) + value.size());
    return false;
  }
  m_setKeys.insert(key);
  auto it = m_pairs.find(key);
  if (it == m_pairs.end()) {
    if (!value.empty())
      m_changed = true;
    m_pairs.emplace(key, value);
  } else if (it->second != value) {
    m_changed = true;
    it->second = value;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, int value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d", value);
  return set(key, buf);
}

bool KeyValueStore::Add(const char* key, double value) {
  // "%f" of a large value runs past any fixed buffer; keep its full text.
  int n = std::snprintf(nullptr, 0, "%f", value);
  std::string text(size_t(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, "%f", value);
  return set(key, text);
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return set(key, buf);
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return set(key, value ? std::string(value) : std::string());
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  return set(key, value);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (!other.m_pairs.empty())
    m_changed = true;
  for (const auto& [k, v] : other.m_pairs) {
    m_pairs.insert_or_assign(k, v);
    m_setKeys.insert(k);
  }
  return true;
}
