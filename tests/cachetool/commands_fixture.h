// The fixture of hopgate-cache's command tests (commands_*_test.cpp, one file a command): the
// commands run through the library, as main() hands them their arguments, on fixture caches made
// in a temporary data root: a console that keeps what each stream is given stands in for the
// process. What only a process shows (the exit code reaching the caller, the two streams kept
// apart, the console code page on Windows) and what needs hopgate running beside the tool is left
// to cachetool_test.cpp.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "cachetool/CacheTool.h"
#include "cache_fixture.h"
#include "platform/native_text.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "preview/UpdatePreviewUnit.h"
#include "support/preview_cache.h"
#include "support/show.h"

namespace cachecommands {

using namespace testsupport;
using cachetool::RunCacheTool;

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

// Runs the tool with these arguments exactly, on a console that keeps both streams; standard
// error counts as a terminal when `terminal` says so.
inline ToolRun RunTool(const std::vector<std::u16string>& arguments, bool terminal = false) {
  ToolRun r;
  const cachetool::Console console{[&](std::string_view text) { r.out += text; },
                                   [&](std::string_view text) { r.err += text; }, terminal};
  r.exitCode = RunCacheTool(arguments, console);
  return r;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line cut into its columns: the runs of text between two or more blanks.
inline std::vector<std::string> Columns(const std::string& line) {
  std::vector<std::string> columns;
  const std::regex gap("  +");
  std::string trimmed = line.substr(line.find_first_not_of(' '));
  std::sregex_token_iterator it(trimmed.begin(), trimmed.end(), gap, -1), end;
  for (; it != end; ++it) columns.push_back(*it);
  return columns;
}

// The arguments `head`, then those of `tail`.
inline std::vector<std::u16string> Then(std::vector<std::u16string> head,
                                        const std::vector<std::u16string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A failed run as the tool reports it: exit 2, nothing on standard output, one line on standard
// error.
inline void ExpectOneLineFailure(const ToolRun& r, const std::string& says,
                                 const std::string& context) {
  EXPECT_EQ(r.exitCode, 2) << context;
  EXPECT_EQ(r.out, "") << context;
  EXPECT_EQ(Lines(r.err).size(), 1u) << context << "\n" << r.err;
  EXPECT_EQ(r.err.rfind("hopgate-cache: " + says, 0), 0u) << context << "\n" << r.err;
}

class CacheCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(cache);
    fs::create_directories(models);
  }

  // The tool on the fixture's data root.
  ToolRun Tool(std::vector<std::u16string> arguments, bool terminal = false) const {
    arguments.insert(arguments.begin(), {u"--data-root", PathText(data)});
    return RunTool(arguments, terminal);
  }

  IndexFile Index() const { return IndexFile(cache / "PreviewPNG.sqlite"); }

  // A model path; the file is made unless it is to be gone.
  std::u16string Model(const std::string& name, bool exists = true) const {
    if (exists) WriteFile(models / name, "model");
    return PathText(models / name);
  }

  // A file in the cache folder: a whole PNG unless other bytes are given.
  void CacheFile(const std::string& name, const std::string& bytes = kSamplePng) const {
    WriteFile(cache / name, bytes);
  }

  // A row of the index, the table made first where it is missing.
  void Row(const std::u16string& png, const std::u16string& model) const {
    Index().CreateTable();
    Index().AddRow(std::nullopt, png, model);
  }

  // A cache with every finding once, beside a sound preview (row 1):
  //   row 2 stale, row 3 PNG missing, row 4 damaged PNG, rows 5 and 6 twins, an old orphan, a
  //   young orphan, an old and a young temporary file of the converter.
  void MakeCacheWithEveryFinding() const {
    const std::u16string good = Model("good.sw");
    CacheFile("GOOD.PNG");
    Row(u"GOOD.PNG", good);
    CacheFile("STALE.PNG");
    Row(u"STALE.PNG", Model("gone.sw", false));
    Row(u"LOST.PNG", Model("lost.sw"));
    CacheFile("DAMAGED.PNG", kSamplePng.substr(0, 40));
    Row(u"DAMAGED.PNG", good);
    CacheFile("TWIN.PNG");
    Row(u"TWIN.PNG", good);
    Row(u"TWIN.PNG", good);
    CacheFile("ORPHAN.PNG");
    MakeOld(cache / "ORPHAN.PNG");
    CacheFile("YOUNG.PNG");
    CacheFile("OLD.PNG.77-1.tmp", "half a png");
    MakeOld(cache / "OLD.PNG.77-1.tmp");
    CacheFile("NEW.PNG.77-2.tmp", "a png being written");
  }

  std::string ModelText(const std::string& name) const { return Utf8(models / name); }

  std::vector<std::int64_t> RowIds() const {
    std::vector<std::int64_t> ids;
    for (const auto& row : Index().Rows()) ids.push_back(row.id);
    return ids;
  }

  TempFolder folder_{"hopgate-cachetool"};
  const fs::path root = folder_.Path();
  const fs::path data = root / "data";
  const fs::path cache = data / "Vexmoor" / "PreviewPNG";
  const fs::path models = root / "models";
};

}  // namespace cachecommands
