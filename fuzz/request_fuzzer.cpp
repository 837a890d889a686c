// Arbitrary bytes as a request file: decoded as LoadTextFile decodes them, validated by
// ValiJSONStr, then read with ParseJsonText and ReadJsonMember as the import reads them. Besides
// not crashing, the two grammars must agree: an object text that has none of the points where the
// reading departs from the validation (a \u with a non-hexadecimal character, a value deeper than
// 32, a leading U+FEFF, a U+0000) reads as the object the validation parsed, with the last member
// of each name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "preview/JsonCompare.h"  // tests/preview
#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"
#include "preview/RequestText.h"
#include "fuzz_check.h"

namespace {

using preview::TJsonKind;
using preview::TJsonTree;

// What LoadTextFile promises about its text: no U+0000, and every line ends in CR LF.
void CheckLoadedText(std::u16string_view text) {
  FUZZ_CHECK(text.find(u'\0') == std::u16string_view::npos);
  FUZZ_CHECK(text.empty() || text.ends_with(u"\r\n"));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r') FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == u'\n');
    if (text[i] == u'\n') FUZZ_CHECK(i > 0 && text[i - 1] == u'\r');
  }
}

bool IsHex(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// True when a string of the (validated) text holds a \u whose four characters are not all
// hexadecimal digits. The four characters after \u are taken whatever they are, a quote included.
bool HasNonHexEscape(std::u16string_view text) {
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!inString) {
      inString = text[i] == u'"';
    } else if (text[i] == u'"') {
      inString = false;
    } else if (text[i] == u'\\' && i + 1 < text.size()) {
      ++i;
      if (text[i] == u'u') {
        for (std::size_t k = 1; k <= 4 && i + k < text.size(); ++k) {
          if (!IsHex(text[i + k])) return true;
        }
        i += 4;
      }
    }
  }
  return false;
}

// The depth of the deepest value of the tree, the root being at depth 1.
std::size_t DeepestValue(const TJsonTree& tree) {
  std::size_t deepest = 0;
  std::vector<std::pair<TJsonTree::Index, std::size_t>> pending{{TJsonTree::kRoot, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    for (auto child = tree.FirstChild(node); child != TJsonTree::kNone;
         child = tree.NextSibling(child)) {
      pending.emplace_back(child, depth + 1);
    }
  }
  return deepest;
}

bool ReadingDeparts(std::u16string_view text, const TJsonTree& tree) {
  return text.find(u'\0') != std::u16string_view::npos || (!text.empty() && text[0] == u'\uFEFF') ||
         HasNonHexEscape(text) ||
         DeepestValue(tree) > static_cast<std::size_t>(preview::kMaxJsonReadDepth);
}

void CheckRequestText(const std::u16string& text) {
  std::u16string validated;
  try {
    validated = preview::ValiJSONStr(text, u"{}");
  } catch (const preview::EInvalidTypeConversion&) {
    const auto tree = preview::ParseJsonValidation(text);
    FUZZ_CHECK(tree && tree->Kind(TJsonTree::kRoot) != TJsonKind::Object);
    return;
  }
  FUZZ_CHECK(validated == text || validated == u"{}");
  const auto tree = preview::ParseJsonValidation(validated);
  FUZZ_CHECK(tree && tree->Kind(TJsonTree::kRoot) == TJsonKind::Object);
  if (validated != text) FUZZ_CHECK(!preview::ParseJsonValidation(text));

  const auto value = preview::ParseJsonText(validated);
  std::u16string bmp, sw;
  try {
    bmp = preview::ReadJsonMember(value, u"bmp");
    sw = preview::ReadJsonMember(value, u"sw");
  } catch (const preview::ERequestReadError&) {
    FUZZ_CHECK(!value);
  }
  if (ReadingDeparts(validated, *tree)) return;

  FUZZ_CHECK(value.has_value());
  FUZZ_CHECK(requesttest::SameValue(*tree, TJsonTree::kRoot, *value));
  for (const preview::TJsonMember& member : value->members) {
    const std::u16string read = preview::ReadJsonMember(value, member.name);
    if (member.value.kind == TJsonKind::String) FUZZ_CHECK(read == member.value.text);
    if (member.value.kind == TJsonKind::Null) FUZZ_CHECK(read.empty());
    // Compact JSON of an object or array is JSON again (unless a number overflowed to INF).
    if ((member.value.kind == TJsonKind::Object || member.value.kind == TJsonKind::Array) &&
        read.find(u"INF") == std::u16string::npos) {
      const auto again = preview::ParseJsonValidation(read);
      FUZZ_CHECK(again && again->Kind(TJsonTree::kRoot) == member.value.kind);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u16string decoded;
  try {
    decoded = preview::DecodeTextBytes(bytes);
  } catch (const preview::ERequestReadError&) {
    return 0;
  }
  const std::u16string loaded = preview::JoinLinesCrLf(decoded);
  CheckLoadedText(loaded);
  CheckRequestText(loaded);
  // The decoded text before the line joining, which may hold U+0000 and lone CR or LF: the
  // operations also take texts that did not come from a file.
  CheckRequestText(decoded);
  return 0;
}
