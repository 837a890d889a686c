// A request file read the way the import reads it: LoadTextFile, ValiJSONStr with the fallback
// "{}", ParseJsonText, then ReadJsonMember for "bmp" and "sw".
#include <gtest/gtest.h>

#include <string>

#include "RequestTestSupport.h"
#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"
#include "preview/RequestText.h"

namespace {

using requesttest::Show;

// Where the reading stops, if it does; else both members are read.
enum class Stop { None, Load, TypeConversion, Read };

const char* Name(Stop stop) {
  switch (stop) {
    case Stop::None:
      return "read";
    case Stop::Load:
      return "LoadTextFile fails";
    case Stop::TypeConversion:
      return "ValiJSONStr fails";
    case Stop::Read:
      return "ReadJsonMember fails";
  }
  return "?";
}

struct Request {
  Stop stop = Stop::None;
  std::u16string bmp, sw;
};

Request ReadRequest(const std::u16string& path) {
  Request request;
  std::u16string text;
  try {
    text = preview::LoadTextFile(path);
  } catch (const preview::ERequestReadError&) {
    request.stop = Stop::Load;
    return request;
  }
  try {
    text = preview::ValiJSONStr(text, u"{}");
  } catch (const preview::EInvalidTypeConversion&) {
    request.stop = Stop::TypeConversion;
    return request;
  }
  const auto value = preview::ParseJsonText(text);
  try {
    request.bmp = preview::ReadJsonMember(value, u"bmp");
    request.sw = preview::ReadJsonMember(value, u"sw");
  } catch (const preview::ERequestReadError&) {
    request.stop = Stop::Read;
  }
  return request;
}

// The bytes of a literal, zero bytes included.
template <std::size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// UTF-16 bytes of an ASCII text, with or without a mark.
std::string Utf16(std::string_view ascii, bool bigEndian, bool mark) {
  std::string bytes = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (const char c : ascii) {
    bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return bytes;
}

struct FileCase {
  const char* name;
  std::string bytes;
  Stop stop;
  std::u16string_view bmp, sw;
};

class RequestReadingTest : public ::testing::Test {
 protected:
  void Check(const FileCase* begin, const FileCase* end) {
    for (const FileCase* c = begin; c != end; ++c) {
      const Request read = ReadRequest(folder_.Write("request.json", c->bytes));
      EXPECT_STREQ(Name(read.stop), Name(c->stop)) << c->name;
      EXPECT_EQ(Show(read.bmp), Show(c->bmp)) << c->name;
      EXPECT_EQ(Show(read.sw), Show(c->sw)) << c->name;
    }
  }

  requesttest::TempFolder folder_;
};

TEST_F(RequestReadingTest, ReadsBothPathsInEveryEncoding) {
  const FileCase cases[] = {
      {"UTF-8 with mark, one line",
       "\xEF\xBB\xBF{\"bmp\":\"C:\\\\Temp\\\\Bild \xC3\xA4\xE2\x82\xAC.bmp\","
       "\"sw\":\"D:\\\\Modelle\\\\Teil \xF0\x9D\x84\x9E.sldprt\"}",
       Stop::None, u"C:\\Temp\\Bild \u00E4\u20AC.bmp", u"D:\\Modelle\\Teil \U0001D11E.sldprt"},
      {"UTF-8 with mark, several lines",
       "\xEF\xBB\xBF{\r\n  \"bmp\" : \"C:\\\\a.bmp\",\n  \"sw\" "
       ":\r\n\"D:\\\\\xC3\xBC.sldasm\"\r}\n",
       Stop::None, u"C:\\a.bmp", u"D:\\\u00FC.sldasm"},
      // Without a mark the ANSI code page (1252) reads each UTF-8 byte as a character of its own.
      {"UTF-8 without mark, ASCII paths", "{\"bmp\":\"C:\\\\a.bmp\",\"sw\":\"D:\\\\b.sldprt\"}",
       Stop::None, u"C:\\a.bmp", u"D:\\b.sldprt"},
      {"UTF-8 without mark, non-ASCII paths", "{\"bmp\":\"\xC3\xA4\",\"sw\":\"\xE2\x82\xAC\"}",
       Stop::None, u"\u00C3\u00A4", u"\u00E2\u201A\u00AC"},
      {"Windows-1252 without mark",
       "{\"bmp\":\"C:\\\\Bild \xE4\x80.bmp\",\"sw\":\"\x81\x8D\x8F\x90\x9D\"}", Stop::None,
       u"C:\\Bild \u00E4\u20AC.bmp", u"\u0081\u008D\u008F\u0090\u009D"},
      {"UTF-16 LE with mark",
       Bytes("\xFF\xFE{\0\"\0b\0m\0p\0\"\0:\0\"\0\xE4\0\"\0,\0\"\0s\0w\0\"\0:"
             "\0\"\0\x34\xD8\x1E\xDD\"\0}\0"),
       Stop::None, u"\u00E4", u"\U0001D11E"},
      {"UTF-16 BE with mark",
       Bytes("\xFE\xFF\0{\0\"\0b\0m\0p\0\"\0:\0\"\0\xE4\0\"\0,\0\"\0s\0w\0\"\0:"
             "\0\"\xD8\x34\xDD\x1E\0\"\0}"),
       Stop::None, u"\u00E4", u"\U0001D11E"},
      // Without a mark UTF-16 is read as ANSI and ends at its first zero byte.
      {"UTF-16 LE without mark", Utf16("{\"bmp\":\"a\",\"sw\":\"b\"}", false, false), Stop::None,
       u"", u""},
      {"UTF-16 BE without mark", Utf16("{\"bmp\":\"a\",\"sw\":\"b\"}", true, false), Stop::None,
       u"", u""},
      {"UTF-8 mark twice: the text begins with U+FEFF",
       "\xEF\xBB\xBF\xEF\xBB\xBF{\"bmp\":\"a\",\"sw\":\"b\"}", Stop::None, u"", u""},
      {"UTF-16 mark twice", "\xFF\xFE\xFF\xFE" + Utf16("{\"sw\":\"b\"}", false, false), Stop::None,
       u"", u""},
      {"invalid UTF-8 after the mark", "\xEF\xBB\xBF{\"bmp\":\"\xE4\"}", Stop::Load, u"", u""},
      {"one byte after a UTF-16 mark", "\xFF\xFE{", Stop::Load, u"", u""},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST_F(RequestReadingTest, EmptyAndMalformedTextsReadAsTheFallback) {
  const FileCase cases[] = {
      {"empty file", "", Stop::None, u"", u""},
      {"UTF-8 mark only", "\xEF\xBB\xBF", Stop::None, u"", u""},
      {"UTF-16 LE mark only", "\xFF\xFE", Stop::None, u"", u""},
      {"UTF-16 BE mark only", "\xFE\xFF", Stop::None, u"", u""},
      {"blanks and line breaks", " \r\n\t\n\r ", Stop::None, u"", u""},
      {"a string alone", "\"C:\\\\a.bmp\"", Stop::None, u"", u""},
      {"a number alone", "42", Stop::None, u"", u""},
      {"true alone", "true", Stop::None, u"", u""},
      {"null alone", "null", Stop::None, u"", u""},
      {"a second object", "{\"bmp\":\"a\"}{\"sw\":\"b\"}", Stop::None, u"", u""},
      {"a comment", "{\"bmp\":\"a\", // image\n\"sw\":\"b\"}", Stop::None, u"", u""},
      {"a single-quoted string", "{\"bmp\":'a',\"sw\":\"b\"}", Stop::None, u"", u""},
      {"an unquoted name", "{bmp:\"a\",\"sw\":\"b\"}", Stop::None, u"", u""},
      {"a trailing comma", "{\"bmp\":\"a\",\"sw\":\"b\",}", Stop::None, u"", u""},
      {"no comma between members", "{\"bmp\":\"a\" \"sw\":\"b\"}", Stop::None, u"", u""},
      {"True for true", "{\"bmp\":\"a\",\"sw\":True}", Stop::None, u"", u""},
      {"zero byte inside a string", Bytes("{\"bmp\":\"a\0b\",\"sw\":\"c\"}"), Stop::None, u"", u""},
      {"an array", "[{\"bmp\":\"a\",\"sw\":\"b\"}]", Stop::TypeConversion, u"", u""},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST_F(RequestReadingTest, ReadsMembersByTheRulesOfTheReading) {
  const FileCase cases[] = {
      {"sw twice", "{\"sw\":\"first\",\"bmp\":\"a\",\"sw\":\"second\"}", Stop::None, u"a",
       u"second"},
      {"SW and Sw are other names", "{\"SW\":\"x\",\"Sw\":\"y\",\"bmp\":\"a\"}", Stop::None, u"a",
       u""},
      {"number", "{\"sw\":12,\"bmp\":2.50}", Stop::None, u"2.5", u"12"},
      {"true and null", "{\"sw\":true,\"bmp\":null}", Stop::None, u"", u"true"},
      {"array", "{\"sw\":[1, 2],\"bmp\":{\"a\" : 1.5e2}}", Stop::None, u"{\"a\":150}", u"[1,2]"},
      {"text after the object's line break", "{\"sw\":\"b\"}\r\n\r\n  \t\r\n", Stop::None, u"",
       u"b"},
      {"zero byte after the object", Bytes("{\"sw\":\"b\"}\0garbage"), Stop::None, u"", u"b"},
      {"\\u with non-hexadecimal characters", "{\"bmp\":\"\\u00zz\",\"sw\":\"b\"}", Stop::Read, u"",
       u""},
  };
  Check(std::begin(cases), std::end(cases));
}

TEST_F(RequestReadingTest, KeepsRawLineBreaksInStringsAsCrLf) {
  const FileCase cases[] = {
      {"CR", "{\"sw\":\"a\rb\"}", Stop::None, u"", u"a\r\nb"},
      {"LF", "{\"sw\":\"a\nb\"}", Stop::None, u"", u"a\r\nb"},
      {"CR LF", "{\"sw\":\"a\r\nb\"}", Stop::None, u"", u"a\r\nb"},
      {"CR CR LF", "{\"sw\":\"a\r\r\nb\"}", Stop::None, u"", u"a\r\n\r\nb"},
      {"escaped LF stays LF", "{\"sw\":\"a\\nb\"}", Stop::None, u"", u"a\nb"},
  };
  Check(std::begin(cases), std::end(cases));
}

// {"sw":"deep", "d": ...} with `innermost` standing at `depth` (the object is at depth 1).
std::string NestedRequest(int depth, std::string_view innermost) {
  std::string text = "{\"sw\":\"deep\",\"d\":";
  for (int level = 2; level < depth; ++level) text += "{\"d\":";
  text += innermost;
  text += std::string(static_cast<std::size_t>(depth - 2), '}');
  return text + "}";
}

TEST_F(RequestReadingTest, ReadsToDepth32AndFailsBeyond) {
  const FileCase cases[] = {
      {"empty object at depth 32", NestedRequest(32, "{}"), Stop::None, u"", u"deep"},
      {"empty object at depth 33", NestedRequest(33, "{}"), Stop::Read, u"", u""},
      {"a number at depth 33", NestedRequest(33, "1"), Stop::Read, u"", u""},
  };
  Check(std::begin(cases), std::end(cases));
}

}  // namespace
