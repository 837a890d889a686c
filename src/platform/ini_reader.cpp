#include "platform/ini_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/native_text.h"
#include "platform/text_encoding.h"

namespace platform {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// A wanted name as Windows sees the argument: a C string, so up to its first NUL; blanks trimmed.
std::u16string WantedName(std::u16string_view s) {
  s = s.substr(0, s.find(u'\0'));
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return std::u16string(s);
}

// One name or value of a line as it streams past: leading blanks skipped, the first `cap` units
// kept, everything after them only counted. The memory is fixed when it is made.
class Field {
 public:
  explicit Field(size_t cap) : cap_(cap) { kept_.reserve(cap); }

  void Clear() {
    kept_.clear();
    length_ = 0;
    trimmedLength_ = 0;
    lastNonBlank_ = 0;
  }

  void Add(char16_t c) {
    if (length_ == 0 && IsBlank(c)) return;
    if (kept_.size() < cap_) kept_.push_back(c);
    ++length_;
    if (!IsBlank(c)) {
      trimmedLength_ = length_;
      lastNonBlank_ = c;
    }
  }

  // The length up to the last non-blank: the field with its trailing blanks trimmed.
  size_t TrimmedLength() const { return trimmedLength_; }
  char16_t LastNonBlank() const { return lastNonBlank_; }
  const std::u16string& Kept() const { return kept_; }

 private:
  size_t cap_;
  std::u16string kept_;
  size_t length_ = 0;
  size_t trimmedLength_ = 0;
  char16_t lastNonBlank_ = 0;
};

// True when the first `length` units of `field` name `wanted` (case of A-Z aside). Both are
// compared as C strings, the way Windows compares them: a NUL straight after the name ends it.
// The field must keep at least wanted.size() + 1 units.
bool NameIs(const Field& field, size_t length, const std::u16string& wanted) {
  const size_t n = wanted.size();
  if (length < n) return false;
  const std::u16string& kept = field.Kept();
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(kept[i]) != FoldAscii(wanted[i])) return false;
  }
  return length == n || kept[n] == u'\0';
}

// The value with a pair of enclosing quotes removed, cut to what a 2048-unit buffer returns.
std::u16string ValueOf(const Field& value) {
  const std::u16string& kept = value.Kept();
  size_t begin = 0;
  size_t end = value.TrimmedLength();
  if (end >= 2 && (kept[0] == u'"' || kept[0] == u'\'') && value.LastNonBlank() == kept[0]) {
    begin = 1;
    end -= 1;
  }
  // The kept units always reach past the first kIniValueMaxLength after `begin`.
  end = std::min({end, kept.size(), begin + kIniValueMaxLength});
  std::u16string out = kept.substr(begin, end - begin);
  out.resize(std::min(out.size(), out.find(u'\0')));
  return out;
}

// How many bytes at the end of `bytes` begin a UTF-8 sequence that the next piece may complete.
// They wait for that piece, so that a character split between two pieces decodes as one.
size_t OpenUtf8Tail(std::string_view bytes) {
  const size_t n = bytes.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(bytes[n - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: its lead stands further back
    const size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return need > back ? back : 0;
  }
  return 0;
}

enum class Encoding { Undecided, Utf8, Utf16Le, Utf16Be };

// Bytes decoded at a time, so that the decoded text stays small however large the input is.
constexpr size_t kSlice = size_t{64} * 1024;

}  // namespace

struct IniValueScanner::State {
  State(std::u16string_view wantedSection, std::u16string_view wantedKey)
      : section(WantedName(wantedSection)),
        key(WantedName(wantedKey)),
        sectionName(section.size() + 1),
        keyName(key.size() + 1),
        value(kIniValueMaxLength + 1) {}

  // ---- Bytes to UTF-16 units ----

  void Take(std::string_view bytes) {
    while (!bytes.empty() && !settled) {
      if (encoding == Encoding::Undecided) {
        const size_t n = std::min(bytes.size(), 3 - carry.size());
        carry.append(bytes.substr(0, n));
        bytes.remove_prefix(n);
        if (carry.size() == 3) DecideEncoding();
        continue;
      }
      const std::string_view slice = bytes.substr(0, kSlice);
      bytes.remove_prefix(slice.size());
      Decode(slice, false);
    }
  }

  void End() {
    if (encoding == Encoding::Undecided) DecideEncoding();
    Decode({}, true);
    if (!settled) EndOfLine();  // the last line, when it has no line end
  }

  // The byte-order mark, when there is one, decides; it is not part of the text.
  void DecideEncoding() {
    using textencoding::ByteOrderMark;
    const ByteOrderMark mark = textencoding::DetectMark(carry);
    encoding = mark == ByteOrderMark::Utf16LittleEndian ? Encoding::Utf16Le
               : mark == ByteOrderMark::Utf16BigEndian  ? Encoding::Utf16Be
                                                        : Encoding::Utf8;
    carry.erase(0, textencoding::MarkLength(mark));
  }

  // Decodes the bytes left over from the last piece and `bytes`; at the end of the input nothing
  // is left over (a lone UTF-16 byte is dropped, an unfinished UTF-8 sequence stays bytes).
  void Decode(std::string_view bytes, bool last) {
    work.assign(carry);
    work.append(bytes);
    carry.clear();
    if (encoding == Encoding::Utf8) {
      const size_t keep = last ? 0 : OpenUtf8Tail(work);
      for (char16_t c : FromNative(std::string_view(work).substr(0, work.size() - keep))) {
        if (settled) return;
        Unit(c);
      }
      carry.assign(work, work.size() - keep, keep);
      return;
    }
    const size_t whole = work.size() & ~size_t{1};
    for (char16_t c : textencoding::DecodeUtf16(work, encoding == Encoding::Utf16Be)) {
      if (settled) return;
      Unit(c);
    }
    if (!last) carry.assign(work, whole, work.size() - whole);
  }

  // ---- Lines ----

  enum class Line { Start, Comment, Bracket, Plain };
  // The key part of a line in the wanted section: its name being read, then matched or not.
  enum class KeyPart { Off, Name, Matched, Other };

  void Unit(char16_t c) {
    if (c == u'\r' || c == u'\n') {
      EndOfLine();
      return;
    }
    switch (line) {
      case Line::Start:
        if (IsBlank(c)) return;
        if (c == u';' || c == u'#') {
          line = Line::Comment;
          return;
        }
        line = c == u'[' ? Line::Bracket : Line::Plain;
        sectionName.Clear();
        closingBracket = false;
        keyName.Clear();
        keyPart = inSection ? KeyPart::Name : KeyPart::Off;
        // The "[" opens the section name, and is part of the key should the line hold no "]".
        KeyUnit(c);
        return;
      case Line::Comment:
        return;
      case Line::Bracket:
        if (c == u']') {
          closingBracket = true;
          headerNameLength = sectionName.TrimmedLength();
        }
        sectionName.Add(c);
        KeyUnit(c);
        return;
      case Line::Plain:
        KeyUnit(c);
        return;
    }
  }

  void KeyUnit(char16_t c) {
    switch (keyPart) {
      case KeyPart::Name:
        if (c != u'=') {
          keyName.Add(c);
        } else if (NameIs(keyName, keyName.TrimmedLength(), key)) {
          keyPart = KeyPart::Matched;
          value.Clear();
        } else {
          keyPart = KeyPart::Other;
        }
        return;
      case KeyPart::Matched:
        value.Add(c);
        return;
      case KeyPart::Off:
      case KeyPart::Other:
        return;
    }
  }

  void EndOfLine() {
    if (line == Line::Bracket && closingBracket) {
      if (inSection) {
        settled = true;  // the first section of the name has ended without the key
      } else if (NameIs(sectionName, headerNameLength, section)) {
        inSection = true;
      }
    } else if (keyPart == KeyPart::Matched) {
      result = ValueOf(value);
      settled = true;
    }
    line = Line::Start;
    keyPart = KeyPart::Off;
  }

  const std::u16string section;
  const std::u16string key;
  Encoding encoding = Encoding::Undecided;
  std::string carry;  // bytes waiting for the next piece (at most 3)
  std::string work;   // the bytes being decoded (at most kSlice + 3)

  Line line = Line::Start;
  Field sectionName;
  bool closingBracket = false;
  size_t headerNameLength = 0;  // the trimmed name up to the last "]" seen so far
  KeyPart keyPart = KeyPart::Off;
  Field keyName;
  Field value;

  bool inSection = false;  // inside the first section of the wanted name
  bool settled = false;
  std::optional<std::u16string> result;
};

IniValueScanner::IniValueScanner(std::u16string_view section, std::u16string_view key)
    : state_(std::make_unique<State>(section, key)) {}

IniValueScanner::~IniValueScanner() = default;

bool IniValueScanner::Feed(std::string_view bytes) {
  state_->Take(bytes);
  return !state_->settled;
}

std::optional<std::u16string> IniValueScanner::Finish() {
  if (!state_->settled) state_->End();
  return state_->result;
}

std::u16string ReadIniValueFromBytes(std::string_view fileBytes, std::u16string_view section,
                                     std::u16string_view key, std::u16string_view fallback) {
  IniValueScanner scanner(section, key);
  scanner.Feed(fileBytes);
  return scanner.Finish().value_or(std::u16string(fallback));
}

std::u16string ReadIniValueFromFile(const std::string& nativePath, std::u16string_view section,
                                    std::u16string_view key, std::u16string_view fallback) {
  // Only a regular file: a device such as /dev/zero would never end, a pipe would block.
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::path(nativePath), error)) {
    return std::u16string(fallback);
  }
  std::ifstream in(nativePath, std::ios::binary);
  if (!in) return std::u16string(fallback);
  IniValueScanner scanner(section, key);
  std::vector<char> chunk(size_t{64} * 1024);
  bool settled = false;
  while (!settled && in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    settled = !scanner.Feed(std::string_view(chunk.data(), static_cast<size_t>(got)));
  }
  // A file that fails to read part-way is not taken as ending there.
  if (!settled && in.bad()) return std::u16string(fallback);
  return scanner.Finish().value_or(std::u16string(fallback));
}

}  // namespace platform
