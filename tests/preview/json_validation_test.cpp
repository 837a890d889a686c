// The validation grammar, ValiJSONStr and the walkers.
#include "preview/JsonOptionsUnit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonWalk.h"
#include "RequestTestSupport.h"

namespace {

using preview::EInvalidTypeConversion;
using preview::TJsonKind;
using preview::TJsonTree;
using preview::ValiJSONStr;
using requesttest::Show;

enum class Outcome { Text, Fallback, TypeConversion };

const char* Name(Outcome o) {
  switch (o) {
    case Outcome::Text:
      return "the text";
    case Outcome::Fallback:
      return "the fallback";
    case Outcome::TypeConversion:
      return "an invalid type conversion";
  }
  return "?";
}

constexpr std::u16string_view kFallback = u"<fallback>";

Outcome Validate(std::u16string_view text) {
  try {
    const std::u16string result = ValiJSONStr(text, kFallback);
    if (result == text) return Outcome::Text;
    if (result == kFallback) return Outcome::Fallback;
    ADD_FAILURE() << "ValiJSONStr returned neither the text nor the fallback: " << Show(result);
  } catch (const EInvalidTypeConversion&) {
    return Outcome::TypeConversion;
  }
  return Outcome::Fallback;
}

struct ValidationCase {
  std::u16string_view text;
  Outcome outcome;
};

void Check(const ValidationCase* begin, const ValidationCase* end) {
  for (const ValidationCase* c = begin; c != end; ++c) {
    EXPECT_STREQ(Name(Validate(c->text)), Name(c->outcome)) << "text: " << Show(c->text);
  }
}

TEST(ValiJSONStr, AcceptsObjectsAndReturnsTheTextUnchanged) {
  static const ValidationCase cases[] = {
      {u"{}", Outcome::Text},
      {u" \t\r\n{ \t\r\n} \t\r\n", Outcome::Text},
      {u"{\"bmp\":\"a\",\"sw\":\"b\"}\r\n", Outcome::Text},
      {u"{ \"a\" : [ 1 , { } , [ ] , \"s\" , true , false , null ] , \"b\" : { \"c\" : -0.5e+3 } }",
       Outcome::Text},
      {u"{\"a\":1,\"a\":2}", Outcome::Text},  // a name may occur more than once
      {u"{\"\":\"\"}", Outcome::Text},
      {u"{\"\xD800\":\"\xDC00\"}", Outcome::Text},  // unpaired surrogates are characters too
      // Characters below U+0020 stand in strings as they are, line breaks and tabs included.
      {u"{\"a\":\"x\ty\r\nz\x01\x1F\"}", Outcome::Text},
      // Every escape of the grammar.
      {u"{\"a\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e4\\u20AC\"}", Outcome::Text},
      // After \u any four characters are taken, non-hexadecimal ones counting as 0 ...
      {u"{\"a\":\"\\u00zz\"}", Outcome::Text},
      {u"{\"a\":\"\\u    \"}", Outcome::Text},
      // ... even a double quote, which then does not close the string.
      {u"{\"a\":\"\\u123\"}\"}", Outcome::Text},
      {u"{\"a\":\"\\u123\"}", Outcome::Fallback},
      // One U+FEFF at the very start is skipped, only one and only there.
      {u"\uFEFF{}", Outcome::Text},
      {u"\uFEFF \r\n{}", Outcome::Text},
      {u"\uFEFF\uFEFF{}", Outcome::Fallback},
      {u" \uFEFF{}", Outcome::Fallback},
      {u"{}\uFEFF", Outcome::Fallback},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST(ValiJSONStr, FailsWithATypeConversionForOtherValuesThatEndTheText) {
  static const ValidationCase cases[] = {
      {u"[]", Outcome::TypeConversion},
      {u" [1, {\"a\":2}] \r\n", Outcome::TypeConversion},
      {u"42", Outcome::TypeConversion},
      {u" \r\n-0.5e3", Outcome::TypeConversion},
      {u"\"s\"", Outcome::TypeConversion},
      {u"true", Outcome::TypeConversion},
      {u"false", Outcome::TypeConversion},
      {u"null", Outcome::TypeConversion},
      {u"\uFEFF42", Outcome::TypeConversion},
      // Nothing at all may follow a top-level scalar, not even whitespace; so a file that holds
      // one (ending in CR LF once loaded) gives the fallback.
      {u"42 ", Outcome::Fallback},
      {u"42\r\n", Outcome::Fallback},
      {u"\"s\"\r\n", Outcome::Fallback},
      {u"true\t", Outcome::Fallback},
      {u"null\n", Outcome::Fallback},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST(ValiJSONStr, GivesTheFallbackForEveryBrokenRule) {
  static const ValidationCase cases[] = {
      // No value at all.
      {u"", Outcome::Fallback},
      {u" \t\r\n", Outcome::Fallback},
      {u"\uFEFF", Outcome::Fallback},
      // Only whitespace after an object.
      {u"{}{}", Outcome::Fallback},
      {u"{\"a\":1}\r\n{\"b\":2}", Outcome::Fallback},
      {u"{} x", Outcome::Fallback},
      {u"{}}", Outcome::Fallback},
      {u"[]]", Outcome::Fallback},
      // Whitespace is space, tab, LF and CR only.
      {u"{}\f", Outcome::Fallback},
      {u"{}\v", Outcome::Fallback},
      {u"{}\u00A0", Outcome::Fallback},
      {u"{}\u2028", Outcome::Fallback},
      {u"{\u00A0}", Outcome::Fallback},
      // Structure.
      {u"{", Outcome::Fallback},
      {u"{\"a\":1", Outcome::Fallback},
      {u"{\"a\":1,}", Outcome::Fallback},
      {u"{,}", Outcome::Fallback},
      {u"{\"a\":1 \"b\":2}", Outcome::Fallback},
      {u"{\"a\" 1}", Outcome::Fallback},
      {u"{\"a\"::1}", Outcome::Fallback},
      {u"{\"a\":}", Outcome::Fallback},
      {u"{\"a\"}", Outcome::Fallback},
      {u"{\"a\":1]", Outcome::Fallback},
      {u"{\"a\":[1,]}", Outcome::Fallback},
      {u"{\"a\":[,1]}", Outcome::Fallback},
      {u"{\"a\":[1 2]}", Outcome::Fallback},
      {u"{\"a\":[1}", Outcome::Fallback},
      {u"[", Outcome::Fallback},
      {u"]", Outcome::Fallback},
      // Names are strings in double quotes.
      {u"{a:1}", Outcome::Fallback},
      {u"{'a':1}", Outcome::Fallback},
      {u"{1:1}", Outcome::Fallback},
      {u"{null:1}", Outcome::Fallback},
      {u"{\"a\":'b'}", Outcome::Fallback},
      // No comments.
      {u"{\"a\":1}//c", Outcome::Fallback},
      {u"{/*c*/\"a\":1}", Outcome::Fallback},
      {u"{\"a\":1}#", Outcome::Fallback},
      // Literals in lower case only, and whole.
      {u"{\"a\":True}", Outcome::Fallback},
      {u"{\"a\":NULL}", Outcome::Fallback},
      {u"{\"a\":tru}", Outcome::Fallback},
      {u"{\"a\":nulll}", Outcome::Fallback},
      {u"{\"a\":undefined}", Outcome::Fallback},
      // Strings.
      {u"{\"a\":\"b}", Outcome::Fallback},
      {u"{\"a\":\"b\\\"}", Outcome::Fallback},
      {u"{\"a\":\"\\x41\"}", Outcome::Fallback},
      {u"{\"a\":\"\\a\"}", Outcome::Fallback},
      {u"{\"a\":\"\\'\"}", Outcome::Fallback},
      {u"{\"a\":\"\\U0041\"}", Outcome::Fallback},
      {u"{\"a\":\"\\\r\n\"}", Outcome::Fallback},
      {u"{\"a\":\"\\u12", Outcome::Fallback},  // fewer than four characters left
      {u"{\"a\":\"\\", Outcome::Fallback},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST(ValiJSONStr, ReadsNumbersByTheJsonGrammar) {
  static const struct {
    std::u16string_view number;
    bool valid;
  } cases[] = {
      {u"0", true},
      {u"-0", true},
      {u"7", true},
      {u"-12", true},
      {u"1.5", true},
      {u"-0.25", true},
      {u"1e5", true},
      {u"1E5", true},
      {u"1e+5", true},
      {u"1e-5", true},
      {u"0e0", true},
      {u"2.50E-03", true},
      {u"123456789012345678901234567890", true},
      {u"01", false},
      {u"-01", false},
      {u"00", false},
      {u"1.", false},
      {u".5", false},
      {u"-.5", false},
      {u"+1", false},
      {u"1e", false},
      {u"1e+", false},
      {u"1.e5", false},
      {u"-", false},
      {u"--1", false},
      {u"0x1A", false},
      {u"1_000", false},
      {u"NaN", false},
      {u"Infinity", false},
      {u"-Infinity", false},
      {u"1.5.2", false},
      {u"1e5e5", false},
      {u"\uFF11", false},
  };
  for (const auto& c : cases) {
    std::u16string text = u"{\"n\":";
    text += c.number;
    text += u"}";
    EXPECT_STREQ(Name(Validate(text)), Name(c.valid ? Outcome::Text : Outcome::Fallback))
        << "number: " << Show(c.number);
    // The same number alone: a value that is not an object, or nothing.
    EXPECT_STREQ(Name(Validate(c.number)),
                 Name(c.valid ? Outcome::TypeConversion : Outcome::Fallback))
        << "number: " << Show(c.number);
  }
}

// Collects what a walk hands to the visitor.
std::vector<std::u16string> Visits(const TJsonTree& tree, bool array) {
  std::vector<std::u16string> seen;
  const auto visitor = [&seen](std::u16string_view node) { seen.emplace_back(node); };
  if (array) {
    requesttest::WalkJsonArray(tree, TJsonTree::kRoot, visitor);
  } else {
    requesttest::WalkJsonObject(tree, TJsonTree::kRoot, visitor);
  }
  return seen;
}

std::string Joined(const std::vector<std::u16string>& nodes) {
  std::string joined;
  for (const auto& node : nodes) joined += Show(node) + "|";
  return joined;
}

TEST(WalkJsonObject, HandsNamesStringsAndNumbersToTheVisitorDepthFirst) {
  static const struct {
    std::u16string_view text;
    bool array;
    const char* visits;
  } cases[] = {
      {u"{}", false, ""},
      {u"{\"a\":1,\"a\":\"two\"}", false, R"("a"|"1"|"a"|"two"|)"},  // duplicates are all walked
      // Objects inside objects and inside arrays are walked; strings and arrays inside arrays are
      // passed over, and true, false and null give no node.
      {u"{\"n\":\"v\",\"o\":{\"p\":\"q\"},\"arr\":[{\"x\":\"y\"},\"s\",[\"deep\",{\"z\":1}],3],"
       u"\"num\":-1.50e3,\"t\":true,\"f\":false,\"nl\":null,\"e\":\"\\u0041\\n\"}",
       false, R"("n"|"v"|"o"|"p"|"q"|"arr"|"x"|"y"|"num"|"-1.50e3"|"t"|"f"|"nl"|"e"|"A\u000A"|)"},
      // A \u escape with non-hexadecimal characters, each counting as 0.
      {u"{\"k\":\"\\u4zz1\"}", false, R"("k"|"\u4001"|)"},
      {u"[{\"a\":\"b\"},\"c\",{\"d\":[{\"e\":\"f\"}]},[{\"g\":\"h\"}]]", true,
       R"("a"|"b"|"d"|"e"|"f"|)"},
  };
  for (const auto& c : cases) {
    const auto tree = preview::ParseJsonValidation(c.text);
    ASSERT_TRUE(tree.has_value()) << "text: " << Show(c.text);
    EXPECT_EQ(Joined(Visits(*tree, c.array)), c.visits) << "text: " << Show(c.text);
  }
}

TEST(WalkJsonObject, RefusesAValueOfTheOtherKind) {
  const auto array = preview::ParseJsonValidation(u"[{}]");
  const auto object = preview::ParseJsonValidation(u"{\"a\":[]}");
  ASSERT_TRUE(array && object);
  EXPECT_THROW(Visits(*array, false), EInvalidTypeConversion);
  EXPECT_THROW(Visits(*object, true), EInvalidTypeConversion);
}

TEST(ParseJsonValidation, KeepsEveryMemberInTextOrder) {
  const auto tree = preview::ParseJsonValidation(u"{\"sw\":\"a\",\"x\":[],\"sw\":null}");
  ASSERT_TRUE(tree.has_value());
  std::string members;
  for (auto node = tree->FirstChild(TJsonTree::kRoot); node != TJsonTree::kNone;
       node = tree->NextSibling(node)) {
    members += Show(tree->Name(node)) + "=" + Show(tree->Text(node)) + ":" +
               std::to_string(static_cast<int>(tree->Kind(node))) + " ";
  }
  EXPECT_EQ(members, R"("sw"="a":2 "x"="":1 "sw"="":6 )");
}

// Texts nested a million levels deep: the parse, the walk and the release of the tree keep their
// own stacks, so only memory limits them.
TEST(ValiJSONStr, HasNoNestingLimitOfItsOwn) {
  constexpr int kDepth = 1'000'000;
  std::u16string objects;
  for (int i = 0; i < kDepth; ++i) objects += (i % 2 == 0) ? u"{\"a\":" : u"[";
  objects += u"1";
  for (int i = kDepth - 1; i >= 0; --i) objects += (i % 2 == 0) ? u"}" : u"]";
  EXPECT_TRUE(Validate(objects) == Outcome::Text);

  const auto tree = preview::ParseJsonValidation(objects);
  ASSERT_TRUE(tree.has_value());
  std::size_t names = 0;
  requesttest::WalkJsonObject(*tree, TJsonTree::kRoot, [&names](std::u16string_view node) {
    if (node == u"a") ++names;
  });
  EXPECT_EQ(names, static_cast<std::size_t>(kDepth / 2));

  const std::u16string arrays = std::u16string(kDepth, u'[') + std::u16string(kDepth, u']');
  EXPECT_TRUE(Validate(arrays) == Outcome::TypeConversion);
  EXPECT_TRUE(Validate(std::u16string(kDepth, u'[')) == Outcome::Fallback);
  EXPECT_TRUE(Validate(std::u16string(kDepth, u'{')) == Outcome::Fallback);
}

}  // namespace
