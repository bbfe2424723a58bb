#pragma once
// An ordered key-value settings file: one "key=value" line per pair, keys in
// ascending byte order, rewritten whole by Save. Each module directory of the
// local store holds one under the name ".settings".
//
// Reading: lines of fewer than 3 characters (newline counted) and lines
// whose very first character is "#" are skipped; the key runs from the first
// non-blank character to the first "=" (trailing blanks dropped), the value
// is the rest with blanks trimmed at both ends; a later line for a key wins.
// A line too long for the 2048-byte line buffer is skipped whole, and so is
// a pair whose key and value together exceed 2045 characters, the most a
// saved line ("key=value" and its newline) can hold and be read back.
//
// Nothing is raised; failures go to Log under DEBUG_Attributes, and a path
// that is not a plain file of its own is refused (Refusal()). Save never
// leaves a half-written file: it replaces the file through a synced
// temporary, and a file that exists but could not be read is never saved
// over. Not thread-safe; a store is used by one thread at a time.
//
// Several processes may share one file (runs of the updater on one local
// store). A save back to the file the store was loaded from is a merge made
// under the directory's lock (UpdaterStoreDirectoryLock): the file is read
// again, and only the keys this store set since it was loaded or last saved
// go over what it holds, so pairs another process saved in the meantime
// survive. A store that was cleared, or a save to another file, writes its
// own pairs whole.

#include <cstdint>
#include <map>
#include <set>
#include <string>

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  // Empty store; then Load(path) when path is not null.
  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore& other);
  KeyValueStore& operator=(const KeyValueStore& other);
  ~KeyValueStore();

  // Adds the file's pairs to those in memory; afterwards the store's path is
  // path and nothing counts as changed. A missing file (ENOENT) is created
  // with CREATED_TIME and UPDATED_TIME when createMissing is true; a file
  // that cannot be opened or read for any other reason is left alone, and
  // Save refuses to write over it until a later Load reads it.
  void Load(const char* path, bool createMissing = true);

  // Writes every pair to path, or to the store's own path when path is null
  // (".settings" in the working directory when it has none). A changed store
  // first gets UPDATED_TIME. True when the file was replaced; on failure the
  // old file stays as it was and the store stays changed. Saving back to the
  // file it was loaded from merges (see above), and the store then holds
  // what the file holds.
  bool Save(const char* path = nullptr);

  // Removes every pair; true. The next save writes the store's pairs whole.
  bool Clear();

  // The value, or null when the key is absent; valid until the store changes.
  const char* operator[](const char* key) const;

  // Numeric getters: the default when the key is absent or its value empty.
  // Like a map's index operator they insert an absent key with an empty
  // value (written by the next Save), without counting as a change.
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);  // "0x" accepted
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);
  // The value as stored, else the default (empty when null); adds nothing.
  std::string GetString(const char* key, const char* defaultValue = nullptr) const;

  // Adders store the value as text ("%d", "%f", "0x%08X", or as given) and
  // return true. They count as a change only when the text differs from
  // what the key held (an absent key holds the empty text). A key and value
  // of more than 2045 characters together are refused (false, nothing
  // changes): no saved line could carry them back.
  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  // Assigns every pair of other over this store's; a change when other has
  // any pair.
  bool Add(const KeyValueStore& other);

  // Set by a Load or a Save that met a path the local store would not
  // have made (a symbolic link, a FIFO, ...; see UpdaterStorePath.h): what
  // it is, naming the path. Nothing was read from it or written through it,
  // and Save will not write there. Empty otherwise.
  const std::string& Refusal() const { return m_refusal; }

  const std::string& Path() const { return m_path; }
  bool Changed() const { return m_changed; }
  const std::map<std::string, std::string>& Pairs() const { return m_pairs; }

 private:
  enum class ReadResult { Read, Missing, Unreadable, Refused };
  // Adds the file's pairs to `pairs`; *openErr is errno of a failed open,
  // *refusal what the path is when it is Refused.
  static ReadResult readPairs(const char* path, std::map<std::string, std::string>& pairs, int* openErr,
                              std::string* refusal);
  bool set(const char* key, const std::string& value);
  // Takes what another process saved to the store's file since it was read,
  // for every key this store did not set itself.
  void mergeFromFile();
  void noteSaved();
  bool writeOut();
  const std::string* find(const char* key) const;
  const std::string& valueForGet(const char* key);

  std::string m_path;
  std::map<std::string, std::string> m_pairs;
  bool m_changed = false;
  // A file that exists but could not be read; saving over it would drop
  // the pairs it holds.
  std::string m_unreadablePath;
  std::string m_refusal;
  // The file whose pairs this store holds (its last load or save); a save
  // there merges.
  std::string m_mergePath;
  // Keys the adders set since the last load or save: these go over the file.
  std::set<std::string> m_setKeys;
  // Cleared since the last save: the pairs in memory are the whole file.
  bool m_replaceAll = false;
};
