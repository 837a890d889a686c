// Compares what the two grammars made of one text: the validation's tree (every member kept) with
// the reading's value (the last member of each name kept). Used by the conformance test and the
// fuzz target.
#pragma once

#include <string>
#include <unordered_map>

#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"

namespace requesttest {

// True when `value` holds what the tree holds at `node`, with only the last member of each name of
// every object. Recursive: meant for values the reading could read, which are at most 32 deep.
inline bool SameValue(const preview::TJsonTree& tree, preview::TJsonTree::Index node,
                      const preview::TJsonValue& value) {
  using preview::TJsonKind;
  using preview::TJsonTree;
  if (tree.Kind(node) != value.kind) return false;
  switch (value.kind) {
    case TJsonKind::String:
    case TJsonKind::Number:
      return tree.Text(node) == value.text;
    case TJsonKind::True:
    case TJsonKind::False:
    case TJsonKind::Null:
      return true;
    case TJsonKind::Array: {
      std::size_t i = 0;
      for (auto child = tree.FirstChild(node); child != TJsonTree::kNone;
           child = tree.NextSibling(child), ++i) {
        if (i >= value.elements.size() || !SameValue(tree, child, value.elements[i])) return false;
      }
      return i == value.elements.size();
    }
    case TJsonKind::Object: {
      std::unordered_map<std::u16string_view, TJsonTree::Index> last;
      for (auto child = tree.FirstChild(node); child != TJsonTree::kNone;
           child = tree.NextSibling(child)) {
        last[tree.Name(child)] = child;
      }
      if (last.size() != value.members.size()) return false;
      for (const preview::TJsonMember& member : value.members) {
        const auto found = last.find(member.name);
        if (found == last.end() || !SameValue(tree, found->second, member.value)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace requesttest
