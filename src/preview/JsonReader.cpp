#include "preview/JsonReader.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <unordered_map>

#include "preview/JsonTokens.h"

namespace preview {

using namespace jsontokens;

namespace {

// The reading grammar: a recursive descent, bounded by the depth limit.
class TReadingParser {
 public:
  explicit TReadingParser(std::u16string_view text) : s_(text) {}

  std::optional<TJsonValue> Parse() {
    TJsonValue value;
    if (!ReadValue(1, value)) return std::nullopt;
    return value;  // whatever follows the value is not looked at
  }

 private:
  bool At(char16_t c) const { return pos_ < s_.size() && s_[pos_] == c; }

  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }

  bool ReadValue(int depth, TJsonValue& out) {
    if (depth > kMaxJsonReadDepth) return false;
    SkipSpace();
    if (pos_ >= s_.size()) return false;
    const char16_t c = s_[pos_];
    if (c == u'{') return ReadObject(depth, out);
    if (c == u'[') return ReadArray(depth, out);
    if (c == u'"') {
      out.kind = TJsonKind::String;
      return ReadString(out.text);
    }
    if (c == u'-' || IsDigit(c)) {
      const std::size_t end = ScanNumber(s_, pos_);
      if (end == kNoNumber) return false;
      out.kind = TJsonKind::Number;
      out.text.assign(s_.substr(pos_, end - pos_));
      pos_ = end;
      return true;
    }
    static const struct {
      std::u16string_view word;
      TJsonKind kind;
    } kLiterals[] = {
        {u"true", TJsonKind::True}, {u"false", TJsonKind::False}, {u"null", TJsonKind::Null}};
    for (const auto& literal : kLiterals) {
      if (LiteralAt(s_, pos_, literal.word)) {
        out.kind = literal.kind;
        pos_ += literal.word.size();
        return true;
      }
    }
    return false;
  }

  bool ReadObject(int depth, TJsonValue& out) {
    out.kind = TJsonKind::Object;
    ++pos_;
    SkipSpace();
    if (At(u'}')) {
      ++pos_;
      return true;
    }
    std::vector<TJsonMember> all;
    for (;;) {
      SkipSpace();
      TJsonMember member;
      if (!At(u'"') || !ReadString(member.name)) return false;
      SkipSpace();
      if (!At(u':')) return false;
      ++pos_;
      if (!ReadValue(depth + 1, member.value)) return false;
      all.push_back(std::move(member));
      SkipSpace();
      if (At(u',')) {
        ++pos_;
        continue;
      }
      if (!At(u'}')) return false;
      ++pos_;
      break;
    }
    KeepLastOfEachName(all, out.members);
    return true;
  }

  // Of members with the same name only the last one in the text stays. The members that stay keep
  // the order of the text.
  static void KeepLastOfEachName(std::vector<TJsonMember>& all, std::vector<TJsonMember>& kept) {
    if (all.size() == 1) {
      kept = std::move(all);
      return;
    }
    std::unordered_map<std::u16string_view, std::size_t> last;
    for (std::size_t i = 0; i < all.size(); ++i) last[all[i].name] = i;
    kept.reserve(last.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (last.at(all[i].name) == i) kept.push_back(std::move(all[i]));
    }
  }

  bool ReadArray(int depth, TJsonValue& out) {
    out.kind = TJsonKind::Array;
    ++pos_;
    SkipSpace();
    if (At(u']')) {
      ++pos_;
      return true;
    }
    for (;;) {
      TJsonValue element;
      if (!ReadValue(depth + 1, element)) return false;
      out.elements.push_back(std::move(element));
      SkipSpace();
      if (At(u',')) {
        ++pos_;
        continue;
      }
      if (!At(u']')) return false;
      ++pos_;
      return true;
    }
  }

  // Reads the string that begins at pos_ (a double quote). Characters below U+0020 are taken as
  // they stand; after "\u" exactly four hexadecimal digits must follow.
  bool ReadString(std::u16string& out) { return ScanString(s_, pos_, out, HexEscapes::Strict); }

  std::u16string_view s_;
  std::size_t pos_ = 0;
};

std::u16string Ascii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// The value of a number that std::from_chars finds outside the double range: infinite when its
// decimal magnitude is positive, zero when negative (with the number's sign either way).
double BeyondDoubleRange(std::u16string_view number) {
  const bool negative = number[0] == u'-';
  std::size_t i = negative ? 1 : 0;
  long long leadingDigits = 0;    // digits before the "." from the first non-zero one on
  long long zerosAfterPoint = 0;  // zeros after the "." before the first non-zero digit
  bool seenNonZero = false;
  for (; i < number.size() && IsDigit(number[i]); ++i) {
    seenNonZero = seenNonZero || number[i] != u'0';
    if (seenNonZero) ++leadingDigits;
  }
  if (i < number.size() && number[i] == u'.') {
    for (++i; i < number.size() && IsDigit(number[i]); ++i) {
      if (!seenNonZero && number[i] == u'0') ++zerosAfterPoint;
      seenNonZero = seenNonZero || number[i] != u'0';
    }
  }
  long long exponent = 0;
  if (i < number.size() && (number[i] == u'e' || number[i] == u'E')) {
    ++i;
    const bool negativeExponent = number[i] == u'-';
    if (number[i] == u'+' || number[i] == u'-') ++i;
    for (; i < number.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (number[i] - u'0');
    }
    if (negativeExponent) exponent = -exponent;
  }
  // The number is d.ddd times ten to this power.
  const long long magnitude =
      leadingDigits > 0 ? leadingDigits - 1 + exponent : -(zerosAfterPoint + 1) + exponent;
  const double value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -value : value;
}

// A number as a double, at most 15 significant digits, "." as the decimal point. std::to_chars
// does not look at the locale.
std::u16string DoubleText(std::u16string_view number) {
  const std::string ascii(number.begin(), number.end());
  double value = 0;
  const auto parsed = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) value = BeyondDoubleRange(number);
  if (std::isinf(value)) return value < 0 ? u"-INF" : u"INF";
  if (value == 0) return u"0";  // -0 too
  char buffer[64];
  const auto written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  return Ascii(std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)));
}

// A number as written by the grammar: "-"?, integer digits without leading zeros, "." and digits,
// an exponent. Integers and numbers with one to four decimals are rewritten exactly, as text, so
// no range or rounding applies to them.
std::u16string NumberText(std::u16string_view number) {
  const bool negative = number[0] == u'-';
  const std::u16string_view body = number.substr(negative ? 1 : 0);
  if (body.find_first_of(u"eE") == std::u16string_view::npos) {
    const std::size_t point = body.find(u'.');
    const std::u16string_view integer = body.substr(0, point);
    std::u16string_view decimals =
        point == std::u16string_view::npos ? std::u16string_view() : body.substr(point + 1);
    if (decimals.size() <= 4) {
      while (!decimals.empty() && decimals.back() == u'0') decimals.remove_suffix(1);
      std::u16string text;
      if (negative && !(integer == u"0" && decimals.empty())) text += u'-';
      text += integer;
      if (!decimals.empty()) {
        text += u'.';
        text += decimals;
      }
      return text;
    }
  }
  return DoubleText(number);
}

}  // namespace

void AppendQuoted(std::u16string_view s, std::u16string& out) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  out += u'"';
  for (const char16_t c : s) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case u'\b':
        out += u"\\b";
        break;
      case u'\f':
        out += u"\\f";
        break;
      case u'\n':
        out += u"\\n";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\t':
        out += u"\\t";
        break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += u'"';
}

namespace {

// Compact JSON of a value inside an object or array.
void AppendCompact(const TJsonValue& value, std::u16string& out) {
  switch (value.kind) {
    case TJsonKind::Object: {
      out += u'{';
      for (std::size_t i = 0; i < value.members.size(); ++i) {
        if (i > 0) out += u',';
        AppendQuoted(value.members[i].name, out);
        out += u':';
        AppendCompact(value.members[i].value, out);
      }
      out += u'}';
      break;
    }
    case TJsonKind::Array: {
      out += u'[';
      for (std::size_t i = 0; i < value.elements.size(); ++i) {
        if (i > 0) out += u',';
        AppendCompact(value.elements[i], out);
      }
      out += u']';
      break;
    }
    case TJsonKind::String:
      AppendQuoted(value.text, out);
      break;
    case TJsonKind::Number:
      out += NumberText(value.text);
      break;
    case TJsonKind::True:
      out += u"true";
      break;
    case TJsonKind::False:
      out += u"false";
      break;
    case TJsonKind::Null:
      out += u"null";
      break;
  }
}

// A member's value as ReadJsonMember gives it.
std::u16string MemberText(const TJsonValue& value) {
  switch (value.kind) {
    case TJsonKind::String:
      return value.text;
    case TJsonKind::Number:
      return NumberText(value.text);
    case TJsonKind::True:
      return u"true";
    case TJsonKind::False:
      return u"false";
    case TJsonKind::Null:
      return std::u16string();
    case TJsonKind::Object:
    case TJsonKind::Array:
      break;
  }
  std::u16string compact;
  AppendCompact(value, compact);
  return compact;
}

}  // namespace

std::optional<TJsonValue> ParseJsonText(std::u16string_view text) {
  // The reading stops at the first U+0000: whatever stands after it does not exist.
  text = text.substr(0, text.find(u'\0'));
  // A text that begins with the byte-order mark character is one string value, without members.
  if (!text.empty() && text[0] == u'\uFEFF') {
    TJsonValue value;
    value.kind = TJsonKind::String;
    value.text.assign(text.substr(1));
    return value;
  }
  return TReadingParser(text).Parse();
}

std::u16string ReadJsonMember(const std::optional<TJsonValue>& value, std::u16string_view name) {
  if (!value) throw ERequestReadError("The request text could not be read as JSON");
  if (value->kind != TJsonKind::Object) return std::u16string();
  for (const TJsonMember& member : value->members) {
    if (member.name == name) return MemberText(member.value);
  }
  return std::u16string();
}

}  // namespace preview
