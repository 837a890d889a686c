// The preview cache end to end: requests imported by the program as suite programs start it, the
// PNG files and index rows they leave, and the purge.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/textrules.h"
#include "storage/SQLite3Wrap.h"
#include "support/images.h"
#include "support/preview_cache.h"
#include "tarncore/md5.h"
#include "support/show.h"

namespace {

using namespace testsupport;
using storage::TSQLite3Database;
using V = std::vector<std::u16string>;

using Row = IndexRow;

std::string Utf8(const std::u16string& s) {
  const auto u8 = fs::path(s).u8string();
  return std::string(u8.begin(), u8.end());
}

// A JSON string literal of the text (backslashes and quotes escaped).
std::string JsonString(const std::u16string& s) {
  std::string out = "\"";
  for (char c : Utf8(s)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// The cache name of a model path, worked out here from the digest's definition: MD5 of the
// upper-cased path's UTF-16LE code units, upper-case hex, then ".PNG".
std::u16string PngName(const std::u16string& model) {
  const std::u16string upper = textrules::UpperAscii(model);
  std::string bytes;
  for (char16_t c : upper) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  const auto digest = tarncore::Md5(bytes.data(), bytes.size());
  std::u16string out;
  for (auto b : digest) {
    const char* hex = "0123456789ABCDEF";
    out.push_back(static_cast<char16_t>(hex[b >> 4]));
    out.push_back(static_cast<char16_t>(hex[b & 15]));
  }
  return out + u".PNG";
}

// The cache name of the empty model path (the MD5 of no bytes), where a request without "sw" or a
// text read as "{}" lands.
const char kEmptyModelPng[] = "D41D8CD98F00B204E9800998ECF8427E.PNG";

class PreviewTest : public PreviewCacheTest {
 protected:
  void SetUp() override {
    PreviewCacheTest::SetUp();
    Run({});  // the cache folders, as any earlier run leaves them
    image = Pattern(7, 5);
  }

  fs::path Png(const std::u16string& model) const { return PreviewFolder() / PngName(model); }
  std::u16string Model(const std::string& name) const { return PathText(caller / name); }

  // A model file, an exported BMP and a request naming them, in the caller's folder.
  std::u16string MakeModel(const std::string& name) {
    WriteFile(caller / name, "model");
    return Model(name);
  }
  void WriteBmp(const std::string& name) { WriteFile(caller / name, Bmp24(image)); }
  void WriteRequest(const std::string& name, const std::string& text) {
    WriteFile(caller / name, "\xEF\xBB\xBF" + text);
  }
  void WriteRequest(const std::string& name, const std::u16string& bmp, const std::u16string& sw) {
    WriteRequest(name, "{\"bmp\": " + JsonString(bmp) + ", \"sw\": " + JsonString(sw) + "}");
  }
  void Import(const std::string& request, RunOptions o) {
    Run({PathText(caller / request)}, o, program / (std::string("hopgate") + kExeSuffix));
  }
  void Import(const std::string& request) { Import(request, Options()); }

  Image image;
};

TEST_F(PreviewTest, ARequestBecomesAPngAndAnIndexRow) {
  const auto model = MakeModel("part.sw");
  WriteBmp("export.bmp");
  WriteRequest("req.json", PathText(caller / "export.bmp"), model);
  Import("req.json");
  EXPECT_EQ(DecodeImage(Png(model)), image);
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, PngName(model), model}}));
  EXPECT_FALSE(fs::exists(caller / "req.json"));
  EXPECT_FALSE(fs::exists(caller / "export.bmp"));
  EXPECT_TRUE(fs::exists(caller / "part.sw"));
}

TEST_F(PreviewTest, RelativePathsAreTheCallersAndExtensionsAnyCase) {
  const auto model = MakeModel("part.sw");
  WriteBmp("export.bmp");
  // A relative request path, in upper case, naming a relative image.
  WriteRequest("REQ.Json", u"export.bmp", model);
  Import("REQ.Json");
  EXPECT_EQ(DecodeImage(Png(model)), image);
  EXPECT_FALSE(fs::exists(caller / "REQ.Json"));
}

TEST_F(PreviewTest, AJsonArgumentThatIsNoFileDoesNothing) {
  fs::create_directories(caller / "folder.json");
  Import("folder.json");
  Import("missing.json");
  EXPECT_TRUE(fs::is_directory(caller / "folder.json"));
  EXPECT_FALSE(fs::exists(Index()));
}

TEST_F(PreviewTest, ModelPathsDifferingInAsciiCaseShareOnePngAndKeepTheFirstRow) {
  const auto lower = MakeModel("part.sw");
  const auto upper = MakeModel("PART.SW");
  ASSERT_EQ(PngName(lower), PngName(upper));
  WriteBmp("a.bmp");
  WriteRequest("a.json", u"a.bmp", lower);
  Import("a.json");
  image = Pattern(4, 4);
  WriteBmp("b.bmp");
  WriteRequest("b.json", u"b.bmp", upper);
  Import("b.json");
  EXPECT_EQ(DecodeImage(Png(lower)), image);  // the second replaced the first PNG
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, PngName(lower), lower}}));
}

TEST_F(PreviewTest, LettersOutsideAsciiKeepTheirCase) {
  const auto small = MakeModel("\xC3\xA4.sw");    // ä
  const auto capital = MakeModel("\xC3\x84.sw");  // Ä
  ASSERT_NE(PngName(small), PngName(capital));
  WriteBmp("a.bmp");
  WriteRequest("a.json", u"a.bmp", small);
  Import("a.json");
  WriteBmp("b.bmp");
  WriteRequest("b.json", u"b.bmp", capital);
  Import("b.json");
  EXPECT_TRUE(fs::exists(Png(small)));
  EXPECT_TRUE(fs::exists(Png(capital)));
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, PngName(small), small}, {2, PngName(capital), capital}}));
}

TEST_F(PreviewTest, PngImagesAreCopiedAndEverythingElseConverted) {
  // A PNG input that is copied arrives byte for byte; anything else is re-encoded.
  const std::string pngBytes = [&] {
    WriteBmp("seed.bmp");
    WriteRequest("seed.json", u"seed.bmp", MakeModel("seed.sw"));
    Import("seed.json");
    return ReadFile(Png(Model("seed.sw"))) + "trailing bytes a decoder ignores";
  }();
  static const struct {
    const char* image;
    bool copied;
  } cases[] = {
      {"x.png", true},   {"x.PNG", true},        {"x.Png", true},
      {"x.png ", false}, {"noext", false},       {"x.bmp", false},
      {"x.pngx", false}, {"dir.png/img", false},  // the dot of a folder makes no extension
  };
  for (const auto& c : cases) {
    const fs::path file = caller / fs::path(c.image).make_preferred();
    fs::create_directories(file.parent_path());
    if (c.copied) {
      WriteFile(file, pngBytes);
    } else {
      WriteFile(file, Bmp24(image));
    }
    const auto model = MakeModel("m.sw");
    WriteRequest("r.json", PathText(file), model);
    Import("r.json");
    if (c.copied) {
      EXPECT_EQ(ReadFile(Png(model)), pngBytes) << c.image;
    } else {
      EXPECT_EQ(DecodeImage(Png(model)), image) << c.image;
      EXPECT_NE(ReadFile(Png(model)).substr(0, 4), "BM") << c.image;
    }
    EXPECT_FALSE(fs::exists(file)) << c.image;
    EXPECT_FALSE(fs::exists(caller / "r.json")) << c.image;
  }
}

TEST_F(PreviewTest, AMissingModelStillConsumesTheRequestAndRecordsNothing) {
  const auto model = Model("gone.sw");
  WriteBmp("a.bmp");
  WriteRequest("a.json", u"a.bmp", model);
  Import("a.json");
  EXPECT_EQ(DecodeImage(Png(model)), image);
  EXPECT_FALSE(fs::exists(caller / "a.json"));
  EXPECT_FALSE(fs::exists(caller / "a.bmp"));
  EXPECT_FALSE(fs::exists(Index()));  // registering opens nothing
}

TEST_F(PreviewTest, RequestsWithoutMembersAndFallbackTexts) {
  static const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"no sw", "{\"bmp\":\"a.bmp\"}"},
      {"empty sw", "{\"bmp\":\"a.bmp\",\"sw\":\"\"}"},
      {"SW is not sw", "{\"bmp\":\"a.bmp\",\"SW\":\"x\"}"},
  };
  for (const auto& c : cases) {
    WriteBmp("a.bmp");
    WriteRequest("r.json", c.text);
    Import("r.json");
    // The empty model path digests as the empty text; the PNG is made but never recorded.
    EXPECT_EQ(DecodeImage(PreviewFolder() / kEmptyModelPng), image) << c.name;
    EXPECT_FALSE(fs::exists(caller / "r.json")) << c.name;
    EXPECT_FALSE(fs::exists(caller / "a.bmp")) << c.name;
    fs::remove(PreviewFolder() / kEmptyModelPng);
  }
  EXPECT_FALSE(fs::exists(Index()));

  // Texts that read as an object without members, or without "bmp": the earlier PNG of the
  // model path (here the empty one) is deleted and no new one can be made.
  static const struct {
    const char* name;
    std::string bytes;
  } fallbacks[] = {
      {"empty file", ""},
      {"mark only", "\xEF\xBB\xBF"},
      {"blanks", "  \r\n\t\n"},
      {"a string", "\"text\""},
      {"a number", "42"},
      {"two objects", "{} {}"},
      {"trailing comma", "{\"sw\":\"x\",}"},
      {"comment", "{/* c */}"},
      {"True", "{\"a\":True}"},
      {"no bmp", "{\"other\":1}"},
  };
  for (const auto& c : fallbacks) {
    WriteFile(PreviewFolder() / kEmptyModelPng, "old");
    WriteFile(caller / "r.json", c.bytes);
    Import("r.json");
    EXPECT_FALSE(fs::exists(PreviewFolder() / kEmptyModelPng)) << c.name;
    EXPECT_FALSE(fs::exists(caller / "r.json")) << c.name;
  }
}

// Each text names the model, so that an import going ahead would replace its PNG; one that fell
// back to "{}" would replace the empty model's.
TEST_F(PreviewTest, TextsThatCannotBeReadKeepEverything) {
  const auto model = MakeModel("m.sw");
  const std::string members = "\"bmp\":\"a.bmp\",\"sw\":" + JsonString(model);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"array", "[{" + members + "}]"},
      {"bad hex escape", "{" + members + ",\"x\":\"\\u00zz\"}"},
      {"too deep", "{" + members + ",\"x\":" + std::string(33, '[') + std::string(33, ']') + "}"},
      {"deep object",
       "{" + members + ",\"x\":" + std::string(32, '[') + "1" + std::string(32, ']') + "}"},
      {"bad UTF-8 after a mark", "\xEF\xBB\xBF{" + members + ",\"x\":\"\xC3\"}"},
      {"one byte after a UTF-16 mark", "\xFF\xFE{"},
  };
  for (const auto& c : cases) {
    WriteFile(Png(model), "old png");
    WriteFile(PreviewFolder() / kEmptyModelPng, "old png");
    WriteBmp("a.bmp");
    WriteFile(caller / "r.json", c.bytes);
    Import("r.json");
    EXPECT_EQ(ReadFile(Png(model)), "old png") << c.name;
    EXPECT_EQ(ReadFile(PreviewFolder() / kEmptyModelPng), "old png") << c.name;
    EXPECT_TRUE(fs::exists(caller / "a.bmp")) << c.name;
    EXPECT_TRUE(fs::exists(caller / "r.json")) << c.name;
  }
  EXPECT_FALSE(fs::exists(Index()));
}

TEST_F(PreviewTest, ReadOnlyImageOrRequestStaysAndTheRestCompletes) {
  const auto model = MakeModel("m.sw");
  WriteBmp("a.bmp");
  SetReadOnly(caller / "a.bmp", true);
  WriteRequest("r.json", u"a.bmp", model);
  SetReadOnly(caller / "r.json", true);
  Import("r.json");
  EXPECT_TRUE(fs::exists(caller / "a.bmp"));
  EXPECT_TRUE(fs::exists(caller / "r.json"));
  EXPECT_EQ(DecodeImage(Png(model)), image);
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, PngName(model), model}}));
  // Imported again later, it adds no second row.
  Import("r.json");
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(PreviewTest, FailuresOfTheCoreLibraryStopTheImportWhereTheyHappen) {
  if (!kCoreFailuresReachTheProgram) GTEST_SKIP() << kCoreFailuresStayInTheLibrary;
  const auto model = MakeModel("m.sw");
  // The digest fails: nothing is touched.
  WriteFile(Png(model), "old png");
  WriteBmp("a.bmp");
  WriteRequest("r.json", u"a.bmp", model);
  RunOptions o = Options();
  o.environment["TARNCORE_FAIL"] = "digest";
  Import("r.json", o);
  EXPECT_EQ(ReadFile(Png(model)), "old png");
  EXPECT_TRUE(fs::exists(caller / "a.bmp"));
  EXPECT_TRUE(fs::exists(caller / "r.json"));
  EXPECT_FALSE(fs::exists(Index()));

  // The conversion fails: the earlier PNG is already gone, request and image stay.
  o.environment["TARNCORE_FAIL"] = "convert";
  Import("r.json", o);
  EXPECT_FALSE(fs::exists(Png(model)));
  EXPECT_TRUE(fs::exists(caller / "a.bmp"));
  EXPECT_TRUE(fs::exists(caller / "r.json"));
  EXPECT_FALSE(fs::exists(Index()));

  // An image that cannot be converted: consumed, but no PNG and so no row.
  WriteFile(caller / "a.bmp", "not an image");
  Import("r.json");
  EXPECT_FALSE(fs::exists(Png(model)));
  EXPECT_FALSE(fs::exists(caller / "a.bmp"));
  EXPECT_FALSE(fs::exists(caller / "r.json"));
  EXPECT_FALSE(fs::exists(Index()));
}

TEST_F(PreviewTest, AnImagePathNamingTheModelOrTheIndexDestroysNeither) {
  const auto model = MakeModel("m.sw");
  WriteBmp("a.bmp");
  WriteRequest("r.json", u"a.bmp", model);
  Import("r.json");
  ASSERT_EQ(Rows().size(), 1u);

  WriteRequest("r.json", model, model);
  Import("r.json");
  EXPECT_EQ(ReadFile(caller / "m.sw"), "model");
  EXPECT_FALSE(fs::exists(caller / "r.json"));

  const auto other = MakeModel("o.sw");
  WriteRequest("r.json", PathText(Index()), other);
  Import("r.json");
  EXPECT_EQ(Rows().size(), 1u);  // the index is intact and readable
  EXPECT_FALSE(fs::exists(caller / "r.json"));
}

#ifndef _WIN32
// POSIX only: a link that loops is how a test gets an answer that is neither "there" nor "not
// found"; on Windows the fault points (tests/fault_win32) give such answers instead.
// A path that cannot be examined now (here one through a link that loops; elsewhere an I/O error,
// a drive offline, a folder without permission) is never taken for "not there" where that would
// delete something: the purge keeps the preview of such a model, and an import whose model cannot
// be examined keeps its image, since the two might be one file.
TEST_F(PreviewTest, APathThatCannotBeExaminedIsNeverTakenForGone) {
  std::error_code ec;
  fs::create_symlink("loop", caller / "loop", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const std::u16string unreachable = Model("loop/m.sw");
  const std::u16string gone = Model("gone.sw");
  CreateTable();
  AddRow(1, PngName(unreachable), unreachable);
  AddRow(2, PngName(gone), gone);
  for (const auto& m : {unreachable, gone}) WriteFile(PreviewFolder() / PngName(m), "png");

  Run({u"CLEARPNGFILE"});
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, PngName(unreachable), unreachable}}));
  EXPECT_TRUE(fs::exists(PreviewFolder() / PngName(unreachable)));
  EXPECT_FALSE(fs::exists(PreviewFolder() / PngName(gone)));

  WriteFile(caller / "shot.png", "a png image");
  WriteRequest("r.json", u"shot.png", unreachable);
  Import("r.json");
  EXPECT_EQ(ReadFile(caller / "shot.png"), "a png image");
  EXPECT_EQ(ReadFile(PreviewFolder() / PngName(unreachable)), "a png image");
  EXPECT_FALSE(fs::exists(caller / "r.json"));
  EXPECT_EQ(Rows().size(), 1u);
}
#endif

TEST_F(PreviewTest, PurgeWithoutAnIndexCreatesAnEmptyOneAndDeletesNothing) {
  WriteFile(PreviewFolder() / "LOOSE.PNG", "png");
  Run({u"CLEARPNGFILE"});
  EXPECT_TRUE(fs::exists(Index()));
  EXPECT_EQ(fs::file_size(Index()), 0u);
  EXPECT_TRUE(fs::exists(PreviewFolder() / "LOOSE.PNG"));
  // Without a table, again nothing is deleted and the run ends quietly.
  Run({u"CLEARPNGFILE"});
  EXPECT_TRUE(fs::exists(PreviewFolder() / "LOOSE.PNG"));
}

TEST_F(PreviewTest, OnlyTheExactCommandWordAloneRunsThePurge) {
  CreateTable();
  AddRow(1, u"GONE.PNG", Model("gone.sw"));
  WriteFile(PreviewFolder() / "GONE.PNG", "png");
  for (const V& args : {V{u"clearpngfile"}, V{u"ClearPngFile"}, V{u"CLEARPNGFILE", u"x"},
                        V{u"CLEARPNGFILEX"}, V{u"x", u"CLEARPNGFILE"}}) {
    Run(args);
    EXPECT_EQ(Rows().size(), 1u) << Show(args[0]) << " " << args.size();
    EXPECT_TRUE(fs::exists(PreviewFolder() / "GONE.PNG")) << Show(args[0]) << " " << args.size();
  }
  Run({u" CLEARPNGFILE\t"});  // trimmed, like every argument
  EXPECT_TRUE(Rows().empty());
  EXPECT_FALSE(fs::exists(PreviewFolder() / "GONE.PNG"));
}

TEST_F(PreviewTest, PurgeRemovesThePreviewsOfModelsThatAreGone) {
  CreateTable();
  const auto live = MakeModel("live.sw");
  const auto liveNoPng = MakeModel("live2.sw");
  fs::create_directories(caller / "folder.sw");
  const std::u16string gone = Model("gone.sw"), goneNoPng = Model("gone2.sw"),
                       folder = Model("folder.sw");
  const std::int64_t big = 3000000000LL;  // beyond 32 bits
  AddRow(1, PngName(live), live);
  AddRow(2, PngName(gone), gone);
  AddRow(3, PngName(liveNoPng), liveNoPng);
  AddRow(4, PngName(goneNoPng), goneNoPng);
  AddRow(5, PngName(folder), folder);
  AddRow(big, u"BIG.PNG", Model("big-gone.sw"));
  for (const auto& m : {live, gone, folder}) WriteFile(PreviewFolder() / PngName(m), "png");
  WriteFile(PreviewFolder() / "BIG.PNG", "png");
  WriteFile(PreviewFolder() / "UNLISTED.PNG", "png");

  Run({u"CLEARPNGFILE"});
  EXPECT_EQ(Rows(),
            (std::vector<Row>{{1, PngName(live), live}, {3, PngName(liveNoPng), liveNoPng}}));
  EXPECT_TRUE(fs::exists(PreviewFolder() / PngName(live)));
  EXPECT_FALSE(fs::exists(PreviewFolder() / PngName(gone)));
  EXPECT_FALSE(fs::exists(PreviewFolder() / PngName(folder)));
  EXPECT_FALSE(fs::exists(PreviewFolder() / "BIG.PNG"));
  EXPECT_TRUE(fs::exists(PreviewFolder() / "UNLISTED.PNG"));
  EXPECT_TRUE(fs::is_directory(caller / "folder.sw"));
}

// The purge walks the rows from the highest ID down, each row's PNG deleted before its row. A
// delete of a row that fails ends the purge there: the rows below it stay, with their PNGs.
TEST_F(PreviewTest, APurgeThatFailsPartWayKeepsTheRowsBelowTheFailure) {
  CreateTable();
  for (std::int64_t id = 1; id <= 5; ++id) {
    const std::string png = "P" + std::to_string(id) + ".PNG";
    AddRow(id, std::u16string(png.begin(), png.end()), Model("gone.sw"));
    WriteFile(PreviewFolder() / png, "png");
  }
  Execute(
      u"CREATE TRIGGER keep3 BEFORE DELETE ON PreviewPNGTable WHEN old.ID = 3 "
      u"BEGIN SELECT RAISE(ABORT, 'row 3 is kept'); END");
  Run({u"CLEARPNGFILE"});
  EXPECT_EQ(Rows(), (std::vector<Row>{{1, u"P1.PNG", Model("gone.sw")},
                                      {2, u"P2.PNG", Model("gone.sw")},
                                      {3, u"P3.PNG", Model("gone.sw")}}));
  static const struct {
    const char* png;
    bool kept;
  } files[] = {
      {"P1.PNG", true}, {"P2.PNG", true}, {"P3.PNG", false}, {"P4.PNG", false}, {"P5.PNG", false},
  };
  for (const auto& f : files) EXPECT_EQ(fs::exists(PreviewFolder() / f.png), f.kept) << f.png;
}

TEST_F(PreviewTest, APurgedRowNeverDeletesOutsideTheCache) {
  CreateTable();
  WriteFile(PreviewFolder().parent_path() / "outside.txt", "keep");
  WriteFile(caller / "victim.txt", "keep");
  static const std::u16string names[] = {
      u"../outside.txt", u"..\\outside.txt", u"..", u".", u"",
  };
  std::int64_t id = 1;
  for (const auto& n : names) AddRow(id++, n, Model("gone.sw"));
  AddRow(id++, PathText(caller / "victim.txt"), Model("gone.sw"));
  Run({u"CLEARPNGFILE"});
  EXPECT_EQ(ReadFile(PreviewFolder().parent_path() / "outside.txt"), "keep");
  EXPECT_EQ(ReadFile(caller / "victim.txt"), "keep");
  EXPECT_TRUE(fs::is_directory(PreviewFolder()));
  EXPECT_TRUE(Rows().empty());
}

// A row may name the index or a file SQLite keeps beside it (a tampered or damaged index): the
// purge deletes such a row but never the file, in any letter case.
TEST_F(PreviewTest, APurgedRowNeverDeletesTheIndex) {
  CreateTable();
  static const std::u16string names[] = {u"PreviewPNG.sqlite", u"previewpng.SQLITE",
                                         u"PreviewPNG.sqlite-journal", u"PreviewPNG.sqlite-wal",
                                         u"PreviewPNG.sqlite-shm"};
  std::int64_t id = 1;
  for (const auto& n : names) AddRow(id++, n, Model("gone.sw"));
  // Lookalikes are ordinary previews and go.
  for (const char* png : {"PreviewPNG.sqlite.png", "PreviewPNG.sqlitex"}) {
    WriteFile(PreviewFolder() / png, "png");
    AddRow(id++, std::u16string(png, png + std::char_traits<char>::length(png)), Model("gone.sw"));
  }
  Run({u"CLEARPNGFILE"});
  EXPECT_TRUE(fs::exists(Index()));
  EXPECT_TRUE(Rows().empty());
  EXPECT_FALSE(fs::exists(PreviewFolder() / "PreviewPNG.sqlite.png"));
  EXPECT_FALSE(fs::exists(PreviewFolder() / "PreviewPNG.sqlitex"));
}

// Another run's write lock on the index: imports wait for it (up to five seconds) instead of
// dropping their rows.
TEST_F(PreviewTest, ConcurrentImportsWaitForALockedIndex) {
  CreateTable();
  constexpr int kRuns = 16;
  std::vector<std::u16string> models;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    models.push_back(MakeModel("m" + n + ".sw"));
    WriteBmp("i" + n + ".bmp");
    WriteRequest("r" + n + ".json", PathText(caller / ("i" + n + ".bmp")), models.back());
  }
  TSQLite3Database holder;
  holder.Open(PathText(Index()));
  holder.Execute(u"BEGIN EXCLUSIVE");
  std::vector<std::thread> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.emplace_back([this, i] {
      const RunResult r =
          RunArguments(program / (std::string("hopgate") + kExeSuffix),
                       {PathText(caller / ("r" + std::to_string(i) + ".json"))}, Options());
      EXPECT_EQ(r.exitCode, 0);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  holder.Execute(u"COMMIT");
  for (auto& t : runs) t.join();
  holder.Close();
  const auto rows = Rows();
  EXPECT_EQ(rows.size(), static_cast<size_t>(kRuns));
  for (const auto& m : models) {
    EXPECT_TRUE(fs::exists(Png(m))) << Show(m);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const Row& r) { return r.model == m; }),
              1)
        << Show(m);
  }
}

TEST_F(PreviewTest, ALockHeldBeyondTheWaitEndsTheRunQuietlyWithoutARow) {
  CreateTable();
  const auto model = MakeModel("m.sw");
  WriteBmp("a.bmp");
  WriteRequest("r.json", u"a.bmp", model);
  TSQLite3Database holder;
  holder.Open(PathText(Index()));
  holder.Execute(u"BEGIN EXCLUSIVE");
  const auto start = std::chrono::steady_clock::now();
  Import("r.json");  // returns after the wait, exit code 0, no output
  // It waited for the lock before giving up: the wait is five seconds (SQLite's busy handler may
  // end its last sleep a little early, hence the margin).
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
  holder.Execute(u"COMMIT");
  holder.Close();
  EXPECT_TRUE(fs::exists(Png(model)));
  EXPECT_FALSE(fs::exists(caller / "r.json"));
  EXPECT_TRUE(Rows().empty());
}

}  // namespace
