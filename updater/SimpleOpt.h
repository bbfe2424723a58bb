#pragma once
// Command-line option matcher.
//
// The words after the program name are examined in order:
// - a word that does not begin with '-' is passed over and moved behind the
//   words not yet examined (skipped words keep their order);
// - in a word that begins with '-', the text after the first '=' is the
//   argument and the text before it is looked up; when the lookup fails the
//   '=' is put back;
// - lookup is case-sensitive; the leading hyphens must match the row's one
//   for one; an exact row is taken at once, otherwise the word (after its
//   hyphens, at least one character) must be a proper prefix of exactly one
//   row's text: an abbreviation of two rows is ambiguous;
// - letters are never clumped (-DU is no option) and a short option never
//   takes an attached argument (-d1234 is no option); "-" and "--" are no
//   options either ("--" does not end option processing);
// - an option without argument given "=value" is an error;
// - an option with a required argument takes the text after '=', else the
//   next word unless there is none or it begins with '-'; that next word is
//   then not consumed and is examined as an option in its own right.
// Error words are still returned by Next(), with a nonzero LastError().
//
// The words array is reordered in place, and the '=' of a recognised option
// is overwritten with a terminator.

#include <cstddef>

enum {
  SO_SUCCESS = 0,
  SO_OPT_INVALID = -1,   // no row matches
  SO_OPT_MULTIPLE = -2,  // the abbreviation matches several rows
  SO_ARG_INVALID = -3,   // "=value" given to an option that takes none
  SO_ARG_MISSING = -4,   // a required argument is absent
};

enum {
  SO_ARG_NONE = 0,
  SO_ARG_REQUIRED = 1,
};

// Table end marker: {-1, nullptr, SO_ARG_NONE}.
#define SO_END_OF_OPTIONS \
  { -1, nullptr, SO_ARG_NONE }

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  struct SOption {
    int nId;                // caller's id, returned by OptionId()
    const SOCHAR* pszText;  // option text with its hyphens: "-d", "--help"
    int nArgType;           // SO_ARG_NONE or SO_ARG_REQUIRED
  };

  // Only flags 0 (the matching described above) exist; other flags are
  // refused and the matcher then yields no option.
  CSimpleOptTempl(int argc, SOCHAR* argv[], const SOption* options, int flags = 0) { Init(argc, argv, options, flags); }

  bool Init(int argc, SOCHAR* argv[], const SOption* options, int flags = 0) {
    m_argc = argc < 0 ? 0 : argc;
    m_argv = argv;
    m_options = options;
    m_nNextArg = 1;
    m_nLastArg = m_argc;
    ClearCurrent();
    if (flags != 0 || argv == nullptr || options == nullptr) {
      m_nLastArg = 0;
      return false;
    }
    return true;
  }

  // True while there is another option word; false at the end of the words.
  bool Next() {
    ClearCurrent();
    while (m_nNextArg < m_nLastArg) {
      SOCHAR* word = m_argv[m_nNextArg];
      if (!IsOption(word)) {
        ShuffleArg(m_nNextArg);
        continue;
      }
      ++m_nNextArg;
      m_pszOptionText = word;

      SOCHAR* equals = FindEquals(word);
      if (equals != nullptr)
        *equals = SOCHAR(0);
      int row = LookupOption(word);
      if (row < 0) {
        if (equals != nullptr)
          *equals = SOCHAR('=');
        m_nLastError = row;
        return true;
      }
      m_nOptionId = m_options[row].nId;
      m_pszOptionText = m_options[row].pszText;

      if (m_options[row].nArgType == SO_ARG_NONE) {
        if (equals != nullptr)
          m_nLastError = SO_ARG_INVALID;
        return true;
      }
      if (equals != nullptr) {
        m_pszOptionArg = equals + 1;
      } else if (m_nNextArg < m_nLastArg && m_argv[m_nNextArg] != nullptr && !IsOption(m_argv[m_nNextArg])) {
        m_pszOptionArg = m_argv[m_nNextArg++];
      } else {
        m_nLastError = SO_ARG_MISSING;
      }
      return true;
    }
    return false;
  }

  int LastError() const { return m_nLastError; }
  // The matched row's id; -1 for a word that matches no row.
  int OptionId() const { return m_nOptionId; }
  // The matched row's text (not the word typed); for a word that matches no
  // row, the word itself.
  const SOCHAR* OptionText() const { return m_pszOptionText; }
  // Null when the option has no argument.
  SOCHAR* OptionArg() const { return m_pszOptionArg; }

  // Once Next() has answered false: the words that were no options and no
  // option's argument, in their order on the command line.
  int FileCount() const { return m_argc - m_nLastArg; }
  SOCHAR* File(int index) const { return m_argv[m_nLastArg + index]; }

 private:
  void ClearCurrent() {
    m_nLastError = SO_SUCCESS;
    m_nOptionId = -1;
    m_pszOptionText = nullptr;
    m_pszOptionArg = nullptr;
  }

  static bool IsOption(const SOCHAR* word) { return word != nullptr && word[0] == SOCHAR('-'); }

  static SOCHAR* FindEquals(SOCHAR* word) {
    for (; *word != SOCHAR(0); ++word)
      if (*word == SOCHAR('='))
        return word;
    return nullptr;
  }

  // kExact for an identical text, the matched length for a proper
  // abbreviation, 0 for no match.
  static const int kExact = 1 << 30;
  static int CalcMatch(const SOCHAR* text, const SOCHAR* word) {
    while (*text == SOCHAR('-') && *word == SOCHAR('-')) {
      ++text;
      ++word;
    }
    if (*text == SOCHAR('-') || *word == SOCHAR('-'))
      return 0;
    int n = 0;
    while (word[n] != SOCHAR(0) && word[n] == text[n])
      ++n;
    if (word[n] != SOCHAR(0))
      return 0;
    if (text[n] == SOCHAR(0))
      return kExact;
    return n;
  }

  // Row index, SO_OPT_INVALID or SO_OPT_MULTIPLE.
  int LookupOption(const SOCHAR* word) const {
    int best = 0;
    int bestRow = SO_OPT_INVALID;
    int tied = 0;
    for (int row = 0; m_options[row].nId >= 0 && m_options[row].pszText != nullptr; ++row) {
      int n = CalcMatch(m_options[row].pszText, word);
      if (n == kExact)
        return row;
      if (n > best) {
        best = n;
        bestRow = row;
        tied = 0;
      } else if (n > 0 && n == best) {
        ++tied;
      }
    }
    if (best == 0)
      return SO_OPT_INVALID;
    return tied ? SO_OPT_MULTIPLE : bestRow;
  }

  // Moves the word at index behind all others; the words not yet examined
  // end one place earlier.
  void ShuffleArg(int index) {
    SOCHAR* word = m_argv[index];
    for (int i = index; i + 1 < m_argc; ++i)
      m_argv[i] = m_argv[i + 1];
    m_argv[m_argc - 1] = word;
    --m_nLastArg;
  }

  int m_argc = 0;
  SOCHAR** m_argv = nullptr;
  const SOption* m_options = nullptr;
  int m_nNextArg = 1;
  int m_nLastArg = 0;
  int m_nLastError = SO_SUCCESS;
  int m_nOptionId = -1;
  const SOCHAR* m_pszOptionText = nullptr;
  SOCHAR* m_pszOptionArg = nullptr;
};

typedef CSimpleOptTempl<char> CSimpleOptA;
