// Walks over the validation grammar's tree, for the tests: what a parse keeps (member names,
// string values with escapes decoded, numbers as written) in the grammar's depth-first order, with
// an explicit stack so that nesting of any depth costs heap, never call stack. The program itself
// asks the tree only for its root's kind (ValiJSONStr).
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "preview/JsonOptionsUnit.h"
#include "preview/RequestErrors.h"

namespace requesttest {

using preview::EInvalidTypeConversion;
using preview::TJsonKind;
using preview::TJsonTree;

// Receives the string nodes of a walk: member names, string values (escapes decoded) and number
// values (as written).
using TJsonVisitor = std::function<void(std::u16string_view node)>;

// One walk over the tree with an explicit stack. Each entry is a container being walked and the
// next of its children to take; a child object is walked before its later siblings, which gives
// the depth-first order of WalkJsonObject calling itself and WalkJsonArray.
inline void Walk(const TJsonTree& tree, TJsonTree::Index start, const TJsonVisitor& visitor) {
  struct Cursor {
    TJsonTree::Index next;
    bool inObject;
  };
  std::vector<Cursor> stack{{tree.FirstChild(start), tree.Kind(start) == TJsonKind::Object}};
  while (!stack.empty()) {
    Cursor& top = stack.back();
    if (top.next == TJsonTree::kNone) {
      stack.pop_back();
      continue;
    }
    const TJsonTree::Index node = top.next;
    const bool inObject = top.inObject;
    top.next = tree.NextSibling(node);
    const TJsonKind kind = tree.Kind(node);
    if (inObject) {
      // WalkJsonObject: the name, then the value by its kind.
      visitor(tree.Name(node));
      if (kind == TJsonKind::Object || kind == TJsonKind::Array) {
        stack.push_back({tree.FirstChild(node), kind == TJsonKind::Object});
      } else if (kind == TJsonKind::String || kind == TJsonKind::Number) {
        visitor(tree.Text(node));
      }
    } else if (kind == TJsonKind::Object) {
      // WalkJsonArray: objects only.
      stack.push_back({tree.FirstChild(node), true});
    }
  }
}

// Walks `object` depth first: for each member in order, hands its name to the visitor; then walks
// an object value, walks an array value as WalkJsonArray does, hands a string or number value to
// the visitor, and passes over true, false and null. Raises EInvalidTypeConversion when `object`
// is not an object.
inline void WalkJsonObject(const TJsonTree& tree, TJsonTree::Index object,
                           const TJsonVisitor& visitor) {
  if (tree.Kind(object) != TJsonKind::Object) throw EInvalidTypeConversion();
  Walk(tree, object, visitor);
}

// Walks each element of `array` that is an object with WalkJsonObject; every other element
// (nested arrays and strings included) is passed over. Raises EInvalidTypeConversion when `array`
// is not an array.
inline void WalkJsonArray(const TJsonTree& tree, TJsonTree::Index array,
                          const TJsonVisitor& visitor) {
  if (tree.Kind(array) != TJsonKind::Array) {
    throw EInvalidTypeConversion("Invalid type conversion: the JSON value is not an array");
  }
  Walk(tree, array, visitor);
}

}  // namespace requesttest
