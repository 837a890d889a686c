#include "preview/JsonOptionsUnit.h"

#include "preview/JsonTokens.h"

namespace preview {

using namespace jsontokens;

std::u16string_view TJsonTree::Name(Index node) const {
  const Node& n = nodes_[node];
  return std::u16string_view(chars_).substr(n.nameStart, n.nameLength);
}

std::u16string_view TJsonTree::Text(Index node) const {
  const Node& n = nodes_[node];
  return std::u16string_view(chars_).substr(n.textStart, n.textLength);
}

// The validation grammar as one loop over the text with a stack of the open objects and arrays,
// instead of recursion: the depth of the text costs heap, never call stack.
class TValidationParser {
 public:
  explicit TValidationParser(std::u16string_view text) : s_(text) {}

  std::optional<TJsonTree> Parse() {
    // One U+FEFF at the very start is passed over, but only when something follows it.
    if (s_.size() >= 2 && s_[0] == u'\uFEFF') pos_ = 1;

    bool memberNext = false;  // an object member (name, ":", value) rather than a bare value
    for (;;) {
      SkipSpace();
      nameStart_ = nameLength_ = 0;
      if (memberNext) {
        if (!At(u'"') || !ReadString(nameStart_, nameLength_)) return std::nullopt;
        SkipSpace();
        if (!At(u':')) return std::nullopt;
        ++pos_;
        SkipSpace();
      }
      if (pos_ >= s_.size()) return std::nullopt;

      bool container = false;
      const char16_t c = s_[pos_];
      if (c == u'{' || c == u'[') {
        const bool object = c == u'{';
        const TJsonTree::Index node = Add(object ? TJsonKind::Object : TJsonKind::Array, 0, 0);
        ++pos_;
        SkipSpace();
        if (At(object ? u'}' : u']')) {
          ++pos_;
          container = true;
        } else {
          open_.push_back({node, TJsonTree::kNone, object});
          memberNext = object;
          continue;
        }
      } else if (c == u'"') {
        std::size_t start = 0, length = 0;
        if (!ReadString(start, length)) return std::nullopt;
        Add(TJsonKind::String, start, length);
      } else if (c == u'-' || IsDigit(c)) {
        const std::size_t end = ScanNumber(s_, pos_);
        if (end == kNoNumber) return std::nullopt;
        const std::size_t start = tree_.chars_.size();
        tree_.chars_.append(s_.substr(pos_, end - pos_));
        Add(TJsonKind::Number, start, end - pos_);
        pos_ = end;
      } else if (LiteralAt(s_, pos_, u"true")) {
        Add(TJsonKind::True, 0, 0);
        pos_ += 4;
      } else if (LiteralAt(s_, pos_, u"false")) {
        Add(TJsonKind::False, 0, 0);
        pos_ += 5;
      } else if (LiteralAt(s_, pos_, u"null")) {
        Add(TJsonKind::Null, 0, 0);
        pos_ += 4;
      } else {
        return std::nullopt;
      }

      // A value is complete: close every container that it completes, then go on after a ",".
      for (;;) {
        if (open_.empty()) return Finish(container);
        SkipSpace();
        const Open& top = open_.back();
        if (At(u',')) {
          ++pos_;
          memberNext = top.object;
          break;
        }
        if (!At(top.object ? u'}' : u']')) return std::nullopt;
        ++pos_;
        open_.pop_back();
        container = true;
      }
    }
  }

 private:
  struct Open {
    TJsonTree::Index node;
    TJsonTree::Index lastChild;
    bool object;
  };

  bool At(char16_t c) const { return pos_ < s_.size() && s_[pos_] == c; }

  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }

  // The top-level value is complete. Whitespace may follow an object or array; nothing at all may
  // follow a string, number, true, false or null.
  std::optional<TJsonTree> Finish(bool container) {
    if (container) SkipSpace();
    if (pos_ != s_.size()) return std::nullopt;
    return std::move(tree_);
  }

  // Appends a node, named by the member name just read, as the last child of the open container.
  TJsonTree::Index Add(TJsonKind kind, std::size_t textStart, std::size_t textLength) {
    const TJsonTree::Index node = tree_.nodes_.size();
    tree_.nodes_.push_back(
        {kind, nameStart_, nameLength_, textStart, textLength, TJsonTree::kNone, TJsonTree::kNone});
    if (!open_.empty()) {
      Open& parent = open_.back();
      if (parent.lastChild == TJsonTree::kNone) {
        tree_.nodes_[parent.node].firstChild = node;
      } else {
        tree_.nodes_[parent.lastChild].nextSibling = node;
      }
      parent.lastChild = node;
    }
    return node;
  }

  // Reads the string that begins at pos_ (a double quote) into the tree's characters. Characters
  // below U+0020 are taken as they stand. After "\u" any four characters are taken as hexadecimal
  // digits, a character that is not one counting as 0.
  bool ReadString(std::size_t& start, std::size_t& length) {
    std::u16string& out = tree_.chars_;
    start = out.size();
    if (!ScanString(s_, pos_, out, HexEscapes::NonHexAsZero)) return false;
    length = out.size() - start;
    return true;
  }

  std::u16string_view s_;
  std::size_t pos_ = 0;
  std::size_t nameStart_ = 0, nameLength_ = 0;  // the member name of the value being read
  std::vector<Open> open_;
  TJsonTree tree_;
};

std::optional<TJsonTree> ParseJsonValidation(std::u16string_view text) {
  return TValidationParser(text).Parse();
}

std::u16string ValiJSONStr(std::u16string_view text, std::u16string_view fallback) {
  const std::optional<TJsonTree> tree = ParseJsonValidation(text);
  if (!tree) return std::u16string(fallback);
  if (tree->Kind(TJsonTree::kRoot) != TJsonKind::Object) throw EInvalidTypeConversion();
  // The text itself, not a rewriting of the tree: the reading later parses exactly this text.
  return std::u16string(text);
}

}  // namespace preview
