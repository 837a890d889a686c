// The reading of a validated request text: ParseJsonText and ReadJsonMember.
//
// Why a request is read twice: the import first asks the validation grammar (JsonOptionsUnit.h)
// whether the text is a JSON object (ValiJSONStr, which turns a text that does not parse into
// "{}"), and then reads the members from the text it got back with the reading grammar (this
// file). The two grammars
// disagree on a few odd texts (duplicate names, nesting depth, "\u" escapes, U+FEFF, U+0000), and
// which files the cache accepts depends on both answers, so each keeps its own parser and its own
// particulars, listed below. docs/preview-import.md follows a request through both.
//
// ParseJsonText follows the reading grammar. For every text that ValiJSONStr accepts it reads the
// same value as the validation grammar (JsonOptionsUnit.h), except that:
//   - it reads the value at the start of the text (after whitespace) and ignores what follows it;
//   - of members with the same name the last one in the text is kept;
//   - a value may stand at depth 32 at most (the top-level value is at depth 1);
//   - after "\u" four hexadecimal digits are required;
//   - a text that begins with U+FEFF is read as a single string value;
//   - the text ends at its first U+0000.
// Depth is bounded, so this parser may recurse.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "preview/JsonOptionsUnit.h"
#include "preview/RequestErrors.h"

namespace preview {

inline constexpr int kMaxJsonReadDepth = 32;

struct TJsonMember;

// A JSON value as the reading grammar reads it.
struct TJsonValue {
  TJsonKind kind = TJsonKind::Null;
  std::u16string text;               // String: escapes decoded; Number: as written
  std::vector<TJsonMember> members;  // Object: one per name, the last in the text
  std::vector<TJsonValue> elements;  // Array
};

struct TJsonMember {
  std::u16string name;
  TJsonValue value;
};

// The value at the start of `text`, or nothing when the text cannot be read. Never fails.
std::optional<TJsonValue> ParseJsonText(std::u16string_view text);

// The member `name` of `value` as text; the empty text when `value` is not an object or has no
// member of that name (names compared code unit by code unit, nested objects not searched). The
// forms: a string as it is; an integer exactly, -0 as 0; a number with one to four decimals and no
// exponent exactly, without trailing zeros (2.50 as 2.5, 3.0 as 3); any other number as a double
// with at most 15 significant digits and "." as the decimal point whatever the locale (1.5e2 as
// 150; from 1e15 up or below 1e-4 in magnitude with an exponent, as 1e+15; beyond the double range
// as INF or -INF, below it as 0); true and false as words; null as the empty text; an object or
// array as compact JSON (no whitespace, strings escaped as JSON, numbers as above, null as null).
// Raises ERequestReadError when given nothing.
std::u16string ReadJsonMember(const std::optional<TJsonValue>& value, std::u16string_view name);

// Appends `s` as a JSON string: in double quotes, with the escapes JSON requires (and the short
// ones where they exist).
void AppendQuoted(std::u16string_view s, std::u16string& out);

}  // namespace preview
