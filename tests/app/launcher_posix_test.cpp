// The tests' POSIX launcher passes each argument by the program's lossless text rule: a byte that
// is not UTF-8, which a test holds as U+DC80..U+DCFF, reaches the started program as that very
// byte, so the tests can hand the program every argument that a POSIX caller can.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/program_folder.h"
#include "support/show.h"

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, ArgumentsReachTheChildAsTheBytesTheyStandFor) {
  const struct {
    std::u16string argument;
    std::string bytes;  // as the child's argv holds it
  } cases[] = {
      {u"plain", "plain"},
      {u"caf\u00E9 \U0001F600", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {u"\xDCFF", "\xFF"},
      {u"a\xDC80z", "a\x80z"},
      {u"\xDCE2\xDC82 cut short", "\xE2\x82 cut short"},
      {u"\xDCC0\xDCAF overlong", "\xC0\xAF overlong"},
  };
  std::vector<std::u16string> arguments;
  std::string expected;
  for (const auto& c : cases) {
    arguments.push_back(c.argument);
    expected += c.bytes + "\n";
  }
  const fs::path recorder = PlaceRecorder("recorder");
  const RunResult run = RunArguments(recorder, arguments, Options());
  ASSERT_EQ(run.exitCode, 0) << run.output;

  // The record's first line is the working folder; each argument follows on a line of its own.
  const auto record = WaitForRecord(recorder, kPresenceWait);
  ASSERT_TRUE(record);
  const std::string raw = ReadBytes(recorder.string() + ".rec");
  const std::size_t firstLine = raw.find('\n');
  ASSERT_NE(firstLine, std::string::npos);
  EXPECT_EQ(raw.substr(firstLine + 1), expected);
  // And read back by the same rule, every argument is the text it was sent as.
  ASSERT_EQ(record->received.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(record->received[i], cases[i].argument)
        << Show(cases[i].argument) << " came back as " << Show(record->received[i]);
  }
}

}  // namespace
