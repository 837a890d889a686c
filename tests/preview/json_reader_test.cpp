// The reading grammar (ParseJsonText) and the text forms of ReadJsonMember.
#include "preview/JsonReader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <string>

#include "RequestTestSupport.h"

namespace {

using preview::ERequestReadError;
using preview::ParseJsonText;
using preview::ReadJsonMember;
using requesttest::Show;

// The member `name` of `text` as the import reads it, or nothing when the reading fails.
std::optional<std::u16string> Read(std::u16string_view text, std::u16string_view name) {
  try {
    return ReadJsonMember(ParseJsonText(text), name);
  } catch (const ERequestReadError&) {
    return std::nullopt;
  }
}

std::string ShowRead(const std::optional<std::u16string>& read) {
  return read ? Show(*read) : "<read fails>";
}

struct ReadCase {
  std::u16string_view text;
  std::u16string_view name;
  std::optional<std::u16string_view> expected;
};

void Check(const ReadCase* begin, const ReadCase* end) {
  for (const ReadCase* c = begin; c != end; ++c) {
    const auto expected = c->expected ? std::optional<std::u16string>(*c->expected) : std::nullopt;
    EXPECT_EQ(ShowRead(Read(c->text, c->name)), ShowRead(expected))
        << "text: " << Show(c->text) << ", member: " << Show(c->name);
  }
}

TEST(ReadJsonMember, WritesNumbersInTheirTextForms) {
  static const struct {
    std::u16string_view number;
    std::u16string_view text;
  } cases[] = {
      // Integers: exactly, "-" only before a non-zero value.
      {u"12", u"12"},
      {u"-12", u"-12"},
      {u"0", u"0"},
      {u"-0", u"0"},
      {u"9223372036854775807", u"9223372036854775807"},
      {u"-9223372036854775808", u"-9223372036854775808"},
      {u"123456789012345678901234567890", u"123456789012345678901234567890"},
      // One to four decimals: exactly, trailing zeros and a bare "." removed.
      {u"2.50", u"2.5"},
      {u"3.0", u"3"},
      {u"-0.5", u"-0.5"},
      {u"-0.0", u"0"},
      {u"0.0001", u"0.0001"},
      {u"1.2340", u"1.234"},
      {u"10.10", u"10.1"},
      {u"-100.0000", u"-100"},
      {u"922337203685477.5807", u"922337203685477.5807"},
      {u"0.1234", u"0.1234"},
      // Any other number: a double, at most 15 significant digits, no trailing zeros.
      {u"1.5e2", u"150"},
      {u"0.123456", u"0.123456"},
      {u"1E2", u"100"},
      {u"1e-2", u"0.01"},
      {u"2.5E+3", u"2500"},
      {u"100e-2", u"1"},
      {u"1.00000", u"1"},
      {u"-0.00000", u"0"},
      {u"-0e0", u"0"},
      {u"0.12345678901234567", u"0.123456789012346"},
      {u"1234567.891011", u"1234567.891011"},
      {u"123456789.123456", u"123456789.123456"},
      {u"1234567890.123456", u"1234567890.12346"},
      {u"-2.000001", u"-2.000001"},
      {u"1e14", u"100000000000000"},
      {u"999999999999999e0", u"999999999999999"},
      // From 10^15 up and below 10^-4: general notation with an exponent.
      {u"1e15", u"1e+15"},
      {u"1.5e300", u"1.5e+300"},
      {u"0.00001", u"1e-05"},
      {u"-2.5e-7", u"-2.5e-07"},
      // Beyond the double range.
      {u"1e400", u"INF"},
      {u"-1e400", u"-INF"},
      {u"123456e999999999999", u"INF"},
      {u"1e-400", u"0"},
      {u"0.000001e-400", u"0"},
      {u"1000e-325", u"9.88131291682493e-323"},
  };
  for (const auto& c : cases) {
    std::u16string text = u"{\"sw\":";
    text += c.number;
    text += u"}\r\n";
    const auto read = Read(text, u"sw");
    EXPECT_EQ(ShowRead(read), ShowRead(std::optional<std::u16string>(c.text)))
        << "number: " << Show(c.number);
  }
}

TEST(ReadJsonMember, WritesNumbersWithAPointWhateverTheLocale) {
  const char* const locales[] = {"de_DE.UTF-8",         "de_DE.utf8",  "de_DE",
                                 "German_Germany.1252", "fr_FR.UTF-8", "French_France.1252"};
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : locales) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma on this system";
  const std::string point = std::localeconv()->decimal_point;
  const auto read = Read(u"{\"a\":1.5e0,\"b\":[2.25,1e-7]}", u"a");
  const auto array = Read(u"{\"a\":1.5e0,\"b\":[2.25,1e-7]}", u"b");
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_EQ(point, ",") << chosen;
  EXPECT_EQ(ShowRead(read), "\"1.5\"") << chosen;
  EXPECT_EQ(ShowRead(array), "\"[2.25,1e-07]\"") << chosen;
}

TEST(ReadJsonMember, WritesStringsLiteralsAndContainers) {
  static const ReadCase cases[] = {
      {u"{\"sw\":\"C:\\\\Models\\\\Part.sldprt\"}", u"sw", u"C:\\Models\\Part.sldprt"},
      {u"{\"sw\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"}", u"sw", u"\"\\/\b\f\n\r\t"},
      {u"{\"sw\":\"\\u00e4\\u20AC\\uD834\\uDD1E\\uDC00\"}", u"sw", u"\u00E4\u20AC\U0001D11E\xDC00"},
      {u"{\"sw\":\"raw\ttab \x01 and \u00E4\"}", u"sw", u"raw\ttab \x01 and \u00E4"},
      {u"{\"sw\":\"\"}", u"sw", u""},
      {u"{\"sw\":true}", u"sw", u"true"},
      {u"{\"sw\":false}", u"sw", u"false"},
      {u"{\"sw\":null}", u"sw", u""},
      {u"{\"sw\":[1,2]}", u"sw", u"[1,2]"},
      {u"{\"sw\":{}}", u"sw", u"{}"},
      {u"{\"sw\":[]}", u"sw", u"[]"},
      {u"{\"sw\" : { \"a\" : [ 1.50 , \"x\\\"y\" , null , true , false , { } , [ ] ] ,\r\n"
       u" \"b\" : 1.5e2 , \"c\" : -0 } }",
       u"sw", u"{\"a\":[1.5,\"x\\\"y\",null,true,false,{},[]],\"b\":150,\"c\":0}"},
      {u"{\"sw\":{\"a\":1,\"a\":2}}", u"sw", u"{\"a\":2}"},
      {u"{\"sw\":[\"tab\there\",\"\\\\\",\"\x01\"]}", u"sw",
       u"[\"tab\\there\",\"\\\\\",\"\\u0001\"]"},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST(ReadJsonMember, LooksUpTheLastMemberOfTheNameAtTheTopOnly) {
  static const ReadCase cases[] = {
      {u"{\"bmp\":\"a\",\"sw\":\"b\"}", u"bmp", u"a"},
      {u"{\"bmp\":\"a\",\"sw\":\"b\"}", u"sw", u"b"},
      {u"{\"bmp\":\"a\"}", u"sw", u""},
      {u"{}", u"sw", u""},
      {u"{\"sw\":\"first\",\"sw\":\"second\"}", u"sw", u"second"},
      {u"{\"sw\":\"first\",\"x\":1,\"sw\":null}", u"sw", u""},
      {u"{\"SW\":\"upper\",\"Sw\":\"mixed\"}", u"sw", u""},
      {u"{\"x\":{\"sw\":\"nested\"},\"y\":[{\"sw\":\"in array\"}]}", u"sw", u""},
      {u"{\"s\\u0077\":\"escaped name\"}", u"sw", u"escaped name"},
      {u"{\"sw \":\"blank\"}", u"sw", u""},
      // A value that is not an object has no members.
      {u"[\"sw\"]", u"sw", u""},
      {u"\"sw\"", u"sw", u""},
      {u"42", u"sw", u""},
      {u"null", u"sw", u""},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST(ParseJsonText, ReadsTheLeadingValueByTheReadingGrammar) {
  static const ReadCase cases[] = {
      // The value after leading whitespace; whatever follows it is ignored.
      {u" \t\r\n{\"sw\":\"a\"} and more", u"sw", u"a"},
      {u"{\"sw\":\"a\"}{\"sw\":\"b\"}", u"sw", u"a"},
      {u"{\"sw\":\"a\"}}", u"sw", u"a"},
      // A text that begins with U+FEFF is one string value: no members, no failure.
      {u"\uFEFF{\"sw\":\"a\"}", u"sw", u""},
      {u" \uFEFF{\"sw\":\"a\"}", u"sw", std::nullopt},
      // The reading ends at the first U+0000.
      {std::u16string_view(u"{\"sw\":\"a\"}\0{", 12), u"sw", u"a"},
      {std::u16string_view(u"{\"sw\":\"a\0b\"}", 12), u"sw", std::nullopt},
      {std::u16string_view(u"\0{\"sw\":\"a\"}", 11), u"sw", std::nullopt},
      {u"{\"sw\":\"\\u0000\"}", u"sw", std::u16string_view(u"\0", 1)},
      // After \u four hexadecimal digits are required.
      {u"{\"sw\":\"\\u00E4\\u00e4\"}", u"sw", u"\u00E4\u00E4"},
      {u"{\"sw\":\"a\",\"bmp\":\"\\u00zz\"}", u"sw", std::nullopt},
      {u"{\"sw\":\"\\uABCG\"}", u"sw", std::nullopt},
      {u"{\"sw\":\"\\u    \"}", u"sw", std::nullopt},
      // Nothing to read.
      {u"", u"sw", std::nullopt},
      {u" \r\n", u"sw", std::nullopt},
      {u"{\"sw\":\"a\"", u"sw", std::nullopt},
      {u"{\"sw\":\"a\",}", u"sw", std::nullopt},
      {u"{\"sw\":01}", u"sw", std::nullopt},
      {u"{\"sw\":\"\\x\"}", u"sw", std::nullopt},
      {u"{\"sw\":True}", u"sw", std::nullopt},
      {u"{\"sw\":[1,]}", u"sw", std::nullopt},
  };
  Check(std::begin(cases), std::end(cases));
}

// An object {"sw":"ok","d":...} in which `innermost` stands at `depth` (the object is depth 1),
// reached through alternating objects and arrays.
std::u16string Nested(int depth, std::u16string_view innermost) {
  std::u16string text = u"{\"sw\":\"ok\",\"d\":";
  std::u16string closing = u"}";
  for (int level = 2; level < depth; ++level) {
    if (level % 2 == 0) {
      text += u"[";
      closing.insert(0, u"]");
    } else {
      text += u"{\"d\":";
      closing.insert(0, u"}");
    }
  }
  return text + std::u16string(innermost) + closing + u"\r\n";
}

TEST(ParseJsonText, ReadsValuesUpToDepth32) {
  static const struct {
    int depth;
    std::u16string_view innermost;
    bool readable;
  } cases[] = {
      {32, u"{}", true},         {32, u"[]", true},  {32, u"1", true},         {32, u"\"s\"", true},
      {32, u"null", true},       {31, u"[1]", true}, {31, u"{\"x\":1}", true}, {33, u"{}", false},
      {33, u"[]", false},        {33, u"1", false},  {33, u"null", false},     {32, u"[1]", false},
      {32, u"{\"x\":1}", false}, {40, u"{}", false},
  };
  for (const auto& c : cases) {
    const std::u16string text = Nested(c.depth, c.innermost);
    // The validation has no limit of its own: every one of these is a valid request text.
    EXPECT_EQ(Show(preview::ValiJSONStr(text, u"{}")), Show(text));
    EXPECT_EQ(ShowRead(Read(text, u"sw")), c.readable ? "\"ok\"" : "<read fails>")
        << "depth " << c.depth << ": " << Show(c.innermost);
  }
}

TEST(ReadJsonMember, FailsWhenGivenNothing) {
  EXPECT_THROW(ReadJsonMember(std::nullopt, u"sw"), ERequestReadError);
}

}  // namespace
