// Every file of JSONTestSuite's test_parsing folder, read as the import reads a request: what the
// validation grammar makes of the loaded text, what ValiJSONStr does with it, and for objects
// whether the reading reads the same object. The expectations are derived from the file names and
// the rules in which the request grammars depart from RFC 8259
// (conformance/derive_expectations.py).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "JsonCompare.h"
#include "RequestTestSupport.h"
#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"
#include "preview/RequestText.h"

namespace {

using preview::TJsonKind;
using preview::TJsonTree;

enum class Verdict { Nothing, Object, Array, String, Number, Literal };
enum class Vali { Text, Fallback, TypeConversion };
enum class Reading { NotAnObject, Reads, Fails, ReadsAString };

struct Expectation {
  const char* file;
  Verdict verdict;
  Vali vali;
  Reading reading;
  const char* rule;  // why the outcome departs from the file name's verdict; empty when it does not
};

const Expectation kExpectations[] = {
#include "json_conformance_expected.inc"
};

const char* Name(Verdict v) {
  switch (v) {
    case Verdict::Nothing:
      return "nothing";
    case Verdict::Object:
      return "object";
    case Verdict::Array:
      return "array";
    case Verdict::String:
      return "string";
    case Verdict::Number:
      return "number";
    case Verdict::Literal:
      return "literal";
  }
  return "?";
}

const char* Name(Vali v) {
  switch (v) {
    case Vali::Text:
      return "the text";
    case Vali::Fallback:
      return "the fallback";
    case Vali::TypeConversion:
      return "an invalid type conversion";
  }
  return "?";
}

const char* Name(Reading r) {
  switch (r) {
    case Reading::NotAnObject:
      return "not an object";
    case Reading::Reads:
      return "reads the same object";
    case Reading::Fails:
      return "cannot be read";
    case Reading::ReadsAString:
      return "reads a string";
  }
  return "?";
}

Verdict VerdictOf(const std::optional<TJsonTree>& tree) {
  if (!tree) return Verdict::Nothing;
  switch (tree->Kind(TJsonTree::kRoot)) {
    case TJsonKind::Object:
      return Verdict::Object;
    case TJsonKind::Array:
      return Verdict::Array;
    case TJsonKind::String:
      return Verdict::String;
    case TJsonKind::Number:
      return Verdict::Number;
    default:
      return Verdict::Literal;
  }
}

Vali ValiOf(const std::u16string& text) {
  try {
    const std::u16string result = preview::ValiJSONStr(text, u"{}");
    return result == text ? Vali::Text : Vali::Fallback;
  } catch (const preview::EInvalidTypeConversion&) {
    return Vali::TypeConversion;
  }
}

Reading ReadingOf(const std::optional<TJsonTree>& tree, const std::u16string& text) {
  if (VerdictOf(tree) != Verdict::Object) return Reading::NotAnObject;
  const auto value = preview::ParseJsonText(text);
  if (!value) return Reading::Fails;
  if (value->kind == TJsonKind::String) return Reading::ReadsAString;
  return requesttest::SameValue(*tree, TJsonTree::kRoot, *value) ? Reading::Reads : Reading::Fails;
}

const std::filesystem::path kCorpus = HOPGATE_JSON_CORPUS;

TEST(JsonConformance, EveryFileOfTheCorpusHasItsStatedOutcome) {
  for (const Expectation& e : kExpectations) {
    std::u16string text;
    ASSERT_NO_THROW(text = preview::LoadTextFile((kCorpus / e.file).u16string())) << e.file;
    const auto tree = preview::ParseJsonValidation(text);
    EXPECT_STREQ(Name(VerdictOf(tree)), Name(e.verdict)) << e.file << " " << e.rule;
    EXPECT_STREQ(Name(ValiOf(text)), Name(e.vali)) << e.file << " " << e.rule;
    EXPECT_STREQ(Name(ReadingOf(tree, text)), Name(e.reading)) << e.file << " " << e.rule;
  }
}

TEST(JsonConformance, StatesAnOutcomeForEveryFileOfTheCorpus) {
  std::set<std::string> stated, present;
  for (const Expectation& e : kExpectations) stated.insert(e.file);
  for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
    present.insert(entry.path().filename().string());
  }
  ASSERT_FALSE(present.empty()) << "no files in " << kCorpus.string();
  for (const auto& file : present) EXPECT_TRUE(stated.count(file)) << "no outcome for " << file;
  for (const auto& file : stated) EXPECT_TRUE(present.count(file)) << "not in the corpus: " << file;
}

}  // namespace
