// JsonOptionsUnit: the validation of a preview request's text.
//
// Why a request is read twice: the import first asks the validation grammar whether the text is a
// JSON object (ValiJSONStr, which turns a text that does not parse into "{}"), and then reads the
// members from the text it got back with the reading grammar (JsonReader.h). The two grammars
// disagree on a few odd texts (duplicate names, nesting depth, "\u" escapes, U+FEFF, U+0000), and
// which files the cache accepts depends on both answers, so each keeps its own parser and its own
// particulars, listed below. docs/preview-import.md follows a request through both.
//
// ValiJSONStr decides by the validation grammar whether a request text is a JSON object. That
// grammar is RFC 8259 with these particulars (each one in one place of JsonOptionsUnit.cpp):
//   - whitespace is space, tab, LF and CR; one U+FEFF at the very start is skipped when at least
//     one more character follows it;
//   - after a top-level object or array only whitespace may follow; after a top-level string,
//     number, true, false or null nothing at all, not even whitespace;
//   - after "\u" any four characters are taken, a character that is not a hexadecimal digit
//     counting as 0; fewer than four left make the string invalid;
//   - characters below U+0020 may stand unescaped in strings;
//   - objects keep every member, duplicate names included;
//   - no nesting limit: the parser keeps its own stack and builds a flat tree, so neither the parse
//     nor the walk nor the release of the tree recurses, however deep the text is nested.
// The reading grammar (JsonReader.h) differs in a few points; both accept every well-formed
// request.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "preview/RequestErrors.h"

namespace preview {

enum class TJsonKind : unsigned char { Object, Array, String, Number, True, False, Null };

// A JSON value as the validation grammar parses it. The nodes stand in one flat list in text
// order (the root first), each linked to its first child and its next sibling.
class TJsonTree {
 public:
  using Index = std::size_t;
  static constexpr Index kNone = static_cast<Index>(-1);
  static constexpr Index kRoot = 0;

  TJsonKind Kind(Index node) const { return nodes_[node].kind; }
  // The member name of a value inside an object; empty elsewhere.
  std::u16string_view Name(Index node) const;
  // A string's text with its escapes decoded, or a number as it is written; empty for the others.
  std::u16string_view Text(Index node) const;
  // The first member or element of an object or array; kNone when it is empty or a scalar.
  Index FirstChild(Index node) const { return nodes_[node].firstChild; }
  // The next member or element of the same container; kNone after the last.
  Index NextSibling(Index node) const { return nodes_[node].nextSibling; }

 private:
  friend class TValidationParser;
  struct Node {
    TJsonKind kind;
    std::size_t nameStart, nameLength;  // in chars_
    std::size_t textStart, textLength;  // in chars_
    Index firstChild, nextSibling;
  };
  std::vector<Node> nodes_;
  std::u16string chars_;  // names and texts of all nodes, one after the other
};

// Parses `text` by the validation grammar: one value, or nothing when any rule is broken (the
// empty text and whitespace alone included). Never fails and never recurses.
std::optional<TJsonTree> ParseJsonValidation(std::u16string_view text);

// Returns `text` unchanged when it is a JSON object by the validation grammar, and `fallback` when
// it does not parse. Raises EInvalidTypeConversion when it parses as an array, a string, a number,
// true, false or null. The import passes the fallback u"{}".
std::u16string ValiJSONStr(std::u16string_view text, std::u16string_view fallback);

}  // namespace preview
