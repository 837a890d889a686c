// The fault harness of the Windows build: each path of the program (an import, a purge, a move)
// runs once without failures, which counts its file-system calls (K); then for every N = 1..K it
// runs again with the Nth call failed, once and for good, and after each run, and again after a
// run without failures, what a user relies on is checked (Invariants below).
//
// The program's entry (hopgate::Run) runs in this process over the Win32 backend with fault
// points (fault_points.h), which counts and fails the backend's own calls. Not counted: the core
// library's calls (tarnCore.dll is a module of its own: it reads the image and writes the PNG) and
// SQLite's (its own Windows file layer); the harness's own file access goes through the standard
// library. Each failure prints the path, the mode, N and the call, and is replayed alone with
// --gtest_filter=*/PATH and HOPGATE_FAULT_REPLAY=once:N or forgood:N.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/hopgate.h"
#include "platform/fault_points.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"
#include "support/images.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
namespace faults = platform::faultpoints;
using testsupport::ReadBytes;
using testsupport::SetReadOnly;
using testsupport::WriteBytes;
using Text = std::u16string;

// ---- The world of one run
// ------------------------------------------------------------------------

// Every file under the root by its path relative to the root ('/' between names), as bytes.
using Tree = std::map<std::string, std::string>;

struct Row {
  std::int64_t id;
  Text png, model;
  bool operator<(const Row& o) const {
    return std::tie(id, png, model) < std::tie(o.id, o.png, o.model);
  }
  bool operator==(const Row&) const = default;
};

// What a run left: the files, and the index read through SQLite (which rolls back a hot journal
// as the next import would).
struct State {
  Tree files;  // the index and its journal left out: SQLite writes them, and they are read as rows
  bool indexExists = false;
  std::string indexProblem;  // what integrity_check or the reading said, when not "ok"
  std::vector<Row> rows;
};

constexpr char kIndex[] = "data/Vexmoor/PreviewPNG/PreviewPNG.sqlite";
constexpr char kCache[] = "data/Vexmoor/PreviewPNG/";

std::string Utf8(const Text& s) {
  const auto u8 = fs::path(s).u8string();
  return std::string(u8.begin(), u8.end());
}

std::string Show(const Text& s) { return Utf8(s); }

// A fresh root for each path, laid out as a suite machine: the program folder, the data root
// (TARNCORE_DATA_ROOT) with the cache under it, and a work folder with the caller's files.
struct World {
  testsupport::TempFolder folder{"hopgate-faults"};
  fs::path root = folder.Path();

  Text Path(const std::string& relative) const {
    return (root / relative).make_preferred().u16string();
  }
  Text Cache(const Text& name) const { return Path(kCache) + name; }
  std::string CacheKey(const Text& name) const { return kCache + Utf8(name); }
  Text Index() const { return Path(kIndex); }
};

// Writes a file of the path's world, making its folders.
void Put(const World& w, const fs::path& relative, std::string_view bytes) {
  fs::create_directories((w.root / relative).parent_path());
  WriteBytes(w.root / relative, bytes);
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string key = fs::relative(entry.path(), root).generic_string();
    if (key == kIndex || key == std::string(kIndex) + "-journal") continue;
    tree[key] = ReadBytes(entry.path());
  }
  return tree;
}

State ReadState(const World& w) {
  State s;
  s.files = ReadTree(w.root);
  s.indexExists = fs::exists(w.root / kIndex);
  if (!s.indexExists) return s;
  try {
    storage::TSQLite3Database db;
    db.Open(w.Index());
    auto check = db.Prepare(u"PRAGMA integrity_check");
    while (check->Step() == storage::kStepRow) {
      if (check->ColumnText(0) != u"ok") s.indexProblem += Utf8(check->ColumnText(0)) + "; ";
    }
    check.reset();
    auto table = db.Prepare(u"SELECT count(*) FROM sqlite_master WHERE name='PreviewPNGTable'");
    if (table->Step() != storage::kStepRow || table->ColumnInt(0) == 0) return s;
    table.reset();
    auto rows = db.Prepare(u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable");
    while (rows->Step() == storage::kStepRow) {
      s.rows.push_back({rows->ColumnInt64(0), rows->ColumnText(1), rows->ColumnText(2)});
    }
  } catch (const storage::ESQLite3Error& e) {
    s.indexProblem += e.what();
  }
  std::sort(s.rows.begin(), s.rows.end());
  return s;
}

// The root as a path's setup made it, to be put back before each run.
struct Template {
  Tree files;  // the index too, as its bytes
  std::set<std::string> folders;
  std::set<std::string> readOnly;
};

Template ReadTemplate(const World& w, std::set<std::string> readOnly) {
  Template t;
  t.files = ReadTree(w.root);
  if (fs::exists(w.root / kIndex)) t.files[kIndex] = ReadBytes(w.root / kIndex);
  for (const auto& entry : fs::recursive_directory_iterator(w.root)) {
    if (entry.is_directory()) t.folders.insert(fs::relative(entry.path(), w.root).generic_string());
  }
  t.readOnly = std::move(readOnly);
  return t;
}

// Puts the root back as `t` has it, where it now holds `now` (as last read: the index aside):
// only what differs is written again, which keeps the runs quick under Wine.
void Restore(const World& w, const Template& t, const Tree& now) {
  std::vector<fs::path> strangers;
  for (const auto& entry : fs::recursive_directory_iterator(w.root)) {
    const std::string key = fs::relative(entry.path(), w.root).generic_string();
    if (entry.is_directory() ? t.folders.count(key) == 0 : t.files.count(key) == 0)
      strangers.push_back(entry.path());
  }
  for (const auto& p : strangers) {
    if (fs::is_regular_file(p)) SetReadOnly(p, false);
    fs::remove_all(p);
  }
  for (const auto& folder : t.folders) fs::create_directories(w.root / folder);
  for (const auto& [key, bytes] : t.files) {
    if (fs::exists(w.root / key)) SetReadOnly(w.root / key, false);
    const auto it = now.find(key);
    if (key == kIndex || it == now.end() || it->second != bytes) WriteBytes(w.root / key, bytes);
  }
  for (const auto& key : t.readOnly) SetReadOnly(w.root / key, true);
}

// ---- The paths
// -----------------------------------------------------------------------------------

std::string JsonString(const Text& s) {
  std::string out = "\"";
  for (char c : Utf8(s)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Request(const Text& image, const Text& model) {
  return "{\"bmp\": " + JsonString(image) + ", \"sw\": " + JsonString(model) + "}";
}

// Bytes that open as a PNG signature; the import copies a .png image as it is, whatever follows.
std::string PngBytes(char fill, std::size_t size) {
  return "\x89PNG\r\n\x1a\n" + std::string(size, fill);
}

// A document's bytes, large enough to be read in more than one piece.
std::string Document(char fill) { return std::string(150000, fill); }

void AddRows(const World& w, const std::vector<std::pair<Text, Text>>& rows) {
  storage::TSQLite3Database db;
  db.Open(w.Index());
  db.Execute(preview::kCreateIndexTable);
  for (const auto& [png, model] : rows) {
    auto insert =
        db.Prepare(u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES (?,?)");
    insert->BindText(1, png);
    insert->BindText(2, model);
    insert->Step();
  }
}

Text PngOf(const World& w, const std::string& model) { return preview::PngNameFor(w.Path(model)); }

// A registered model whose preview no path touches: its file, its PNG and its row.
void OtherPreview(const World& w) {
  Put(w, "work/other.prt", "other model");
  fs::create_directories(w.root / kCache);
  Put(w, w.CacheKey(PngOf(w, "work/other.prt")), PngBytes('o', 3000));
  AddRows(w, {{PngOf(w, "work/other.prt"), w.Path("work/other.prt")}});
}

struct Path {
  const char* name;
  // Makes the files of the path in an empty root; the names of the files to be made read-only.
  std::function<std::set<std::string>(const World&)> setup;
  std::function<std::vector<Text>(const World&)> arguments;
  // A moved file: its content must stay whole at one of the two places.
  std::optional<std::pair<std::string, std::string>> moved;
  // What the run without failures must have done, so that no path passes by doing nothing.
  std::function<void(const World&, const State& before, const State& after)> didItsWork;
};

void ExpectGone(const State& s, const std::vector<std::string>& keys) {
  for (const auto& k : keys) EXPECT_EQ(s.files.count(k), 0u) << k << " is still there";
}

// True when the file `key` holds `bytes` (compared here, since a failed comparison of a document
// would print all of it).
bool Holds(const State& s, const std::string& key, const std::string& bytes) {
  const auto it = s.files.find(key);
  return it != s.files.end() && it->second == bytes;
}

bool HasRow(const State& s, const Text& png, const Text& model) {
  for (const auto& r : s.rows) {
    if (r.png == png && r.model == model) return true;
  }
  return false;
}

const std::vector<Path>& Paths() {
  static const std::vector<Path> paths = {
      {"ImportByCopy",
       [](const World& w) {
         OtherPreview(w);
         Put(w, "work/model.prt", "model");
         Put(w, "work/image.png", PngBytes('c', 100000));
         Put(w, "work/request.json", Request(w.Path("work/image.png"), w.Path("work/model.prt")));
         return std::set<std::string>{};
       },
       [](const World& w) { return std::vector<Text>{w.Path("work/request.json")}; },
       {},
       [](const World& w, const State& before, const State& after) {
         const Text png = PngOf(w, "work/model.prt");
         EXPECT_TRUE(Holds(after, w.CacheKey(png), before.files.at("work/image.png")));
         EXPECT_TRUE(HasRow(after, png, w.Path("work/model.prt")));
         ExpectGone(after, {"work/image.png", "work/request.json"});
       }},
      {"ImportByConversionIntoANewCache",
       [](const World& w) {
         fs::create_directories(w.root / "data");
         Put(w, "work/model.prt", "model");
         Put(w, "work/image.bmp", testsupport::Bmp24(testsupport::Pattern(40, 30)));
         Put(w, "work/request.json", Request(w.Path("work/image.bmp"), w.Path("work/model.prt")));
         return std::set<std::string>{};
       },
       [](const World& w) { return std::vector<Text>{w.Path("work/request.json")}; },
       {},
       [](const World& w, const State&, const State& after) {
         const Text png = PngOf(w, "work/model.prt");
         EXPECT_EQ(testsupport::DecodeImage(w.root / w.CacheKey(png)),
                   testsupport::Pattern(40, 30));
         EXPECT_TRUE(HasRow(after, png, w.Path("work/model.prt")));
         ExpectGone(after, {"work/image.bmp", "work/request.json"});
       }},
      {"ImportReplacingAnEarlierPng",
       [](const World& w) {
         OtherPreview(w);
         Put(w, "work/model.prt", "model");
         Put(w, w.CacheKey(PngOf(w, "work/model.prt")), PngBytes('e', 5000));
         AddRows(w, {{PngOf(w, "work/model.prt"), w.Path("work/model.prt")}});
         Put(w, "work/image.png", PngBytes('n', 80000));
         Put(w, "work/request.json", Request(w.Path("work/image.png"), w.Path("work/model.prt")));
         return std::set<std::string>{};
       },
       [](const World& w) { return std::vector<Text>{w.Path("work/request.json")}; },
       {},
       [](const World& w, const State& before, const State& after) {
         EXPECT_TRUE(Holds(after, w.CacheKey(PngOf(w, "work/model.prt")),
                           before.files.at("work/image.png")));
         EXPECT_EQ(after.rows, before.rows) << "registered once already";
         ExpectGone(after, {"work/image.png", "work/request.json"});
       }},
      {"ImageIsTheModelFile",
       [](const World& w) {
         OtherPreview(w);
         Put(w, "work/model.png", PngBytes('m', 60000));
         // The image is the model file under another spelling.
         Put(w, "work/request.json", Request(w.Path("work/MODEL.PNG"), w.Path("work/model.png")));
         return std::set<std::string>{};
       },
       [](const World& w) { return std::vector<Text>{w.Path("work/request.json")}; },
       {},
       [](const World& w, const State& before, const State& after) {
         const Text png = PngOf(w, "work/model.png");
         EXPECT_TRUE(Holds(after, w.CacheKey(png), before.files.at("work/model.png")));
         EXPECT_TRUE(Holds(after, "work/model.png", before.files.at("work/model.png")));
         EXPECT_TRUE(HasRow(after, png, w.Path("work/model.png")));
         ExpectGone(after, {"work/request.json"});
       }},
      {"ImageIsTheIndex",
       [](const World& w) {
         OtherPreview(w);
         Put(w, "work/model.prt", "model");
         Put(w, "work/request.json", Request(w.Index(), w.Path("work/model.prt")));
         return std::set<std::string>{};
       },
       [](const World& w) { return std::vector<Text>{w.Path("work/request.json")}; },
       {},
       [](const World&, const State& before, const State& after) {
         // The index is no image: no PNG, no row, and the index stays.
         EXPECT_TRUE(after.indexExists);
         EXPECT_EQ(after.rows, before.rows);
         ExpectGone(after, {"work/request.json"});
       }},
      {"PurgeOfStaleAndLiveRows",
       [](const World& w) {
         OtherPreview(w);
         fs::create_directories(w.root / "work/folder.prt");
         Put(w, "work/live.prt", "live");
         Put(w, w.CacheKey(PngOf(w, "work/live.prt")), PngBytes('l', 2000));
         Put(w, "work/live-without-png.prt", "live");
         Put(w, w.CacheKey(PngOf(w, "work/gone.prt")), PngBytes('g', 2000));
         Put(w, w.CacheKey(PngOf(w, "work/folder.prt")), PngBytes('f', 2000));
         AddRows(w, {{PngOf(w, "work/live.prt"), w.Path("work/live.prt")},
                     {PngOf(w, "work/gone.prt"), w.Path("work/gone.prt")},
                     {PngOf(w, "work/gone-without-png.prt"), w.Path("work/gone-without-png.prt")},
                     {PngOf(w, "work/live-without-png.prt"), w.Path("work/live-without-png.prt")},
                     {PngOf(w, "work/folder.prt"), w.Path("work/folder.prt")}});
         return std::set<std::string>{};
       },
       [](const World&) { return std::vector<Text>{u"CLEARPNGFILE"}; },
       {},
       [](const World& w, const State&, const State& after) {
         EXPECT_EQ(after.rows.size(), 3u) << "the other, live and live-without-png rows";
         EXPECT_TRUE(HasRow(after, PngOf(w, "work/live.prt"), w.Path("work/live.prt")));
         ExpectGone(after, {w.CacheKey(PngOf(w, "work/gone.prt")),
                            w.CacheKey(PngOf(w, "work/folder.prt"))});
       }},
      {"Rename",
       [](const World& w) {
         Put(w, "work/drawing.twk", Document('r'));
         fs::create_directories(w.root / "work/moved");
         return std::set<std::string>{};
       },
       [](const World& w) {
         return std::vector<Text>{u"RENAME", w.Path("work/drawing.twk"),
                                  w.Path("work/moved/drawing.twk")};
       },
       std::make_pair(std::string("work/drawing.twk"), std::string("work/moved/drawing.twk")),
       [](const World&, const State& before, const State& after) {
         EXPECT_TRUE(Holds(after, "work/moved/drawing.twk", before.files.at("work/drawing.twk")));
         ExpectGone(after, {"work/drawing.twk"});
       }},
      {"RenameAndDeleteOverAReadOnlyFile",
       [](const World& w) {
         Put(w, "work/new.partsbook", Document('n'));
         Put(w, "work/old.partsbook", Document('o'));
         return std::set<std::string>{"work/old.partsbook"};
       },
       [](const World& w) {
         return std::vector<Text>{u"RENAMEANDDEL", w.Path("work/new.partsbook"),
                                  w.Path("work/old.partsbook")};
       },
       std::make_pair(std::string("work/new.partsbook"), std::string("work/old.partsbook")),
       [](const World&, const State& before, const State& after) {
         EXPECT_TRUE(Holds(after, "work/old.partsbook", before.files.at("work/new.partsbook")));
         ExpectGone(after, {"work/new.partsbook"});
       }},
      {"RenameAndDeleteToANewName",
       [](const World& w) {
         Put(w, "work/new.partsbook", Document('n'));
         return std::set<std::string>{};
       },
       [](const World& w) {
         return std::vector<Text>{u"RENAMEANDDEL", w.Path("work/new.partsbook"),
                                  w.Path("work/copy.partsbook")};
       },
       std::make_pair(std::string("work/new.partsbook"), std::string("work/copy.partsbook")),
       [](const World&, const State& before, const State& after) {
         EXPECT_TRUE(Holds(after, "work/copy.partsbook", before.files.at("work/new.partsbook")));
         ExpectGone(after, {"work/new.partsbook"});
       }},
  };
  return paths;
}

// ---- The invariants
// ------------------------------------------------------------------------------

std::optional<std::string> At(const Tree& t, const std::string& key) {
  const auto it = t.find(key);
  if (it == t.end()) return std::nullopt;
  return it->second;
}

// The file whose temporary file `key` is (the platform layer writes a file as its name, ".part"
// and the process id, then renames it), or nothing.
std::optional<std::string> TemporaryFileOf(const std::string& key) {
  const std::string part = ".part" + std::to_string(::GetCurrentProcessId());
  if (key.size() <= part.size() || key.compare(key.size() - part.size(), part.size(), part) != 0)
    return std::nullopt;
  return key.substr(0, key.size() - part.size());
}

// What breaks an invariant in `now`, the state after a run that began from `start`; `before` is
// the path's own start, `clean` where the run without failures ends. Empty when nothing does.
std::vector<std::string> Violations(const Path& path, const State& before, const State& clean,
                                    const State& start, const State& now) {
  std::vector<std::string> found;
  std::set<std::string> keys;
  for (const State* s : {&before, &clean, &now}) {
    for (const auto& [key, bytes] : s->files) keys.insert(key);
  }
  // A file that the run without failures leaves as it was is never changed nor deleted; one that
  // it changes or deletes is as it was, as that run leaves it, or (a delete before a write, a
  // failed copy's consumed image) absent. In the cache only PNG files (whole: one of those
  // versions), the index, its journal and temporary files stand; elsewhere a temporary file stands
  // only beside a file that the run writes.
  for (const auto& key : keys) {
    const auto b = At(before.files, key);
    const auto c = At(clean.files, key);
    const auto n = At(now.files, key);
    const bool inCache = key.rfind(kCache, 0) == 0;
    const std::string name = inCache ? key.substr(std::string(kCache).size()) : key;
    const auto written = TemporaryFileOf(key);
    if (n && !b && !c && written && (At(before.files, *written) || At(clean.files, *written)))
      continue;
    if (inCache && n && (name.size() < 4 || name.substr(name.size() - 4) != ".PNG")) {
      found.push_back("a stranger in the cache: " + name);
      continue;
    }
    if (b == c) {
      if (n != b) found.push_back(key + (n ? " changed" : " deleted") + ", which the run keeps");
    } else if (n && n != b && n != c) {
      found.push_back(key + " is neither as it was nor as the run leaves it" +
                      (inCache ? " (a torn PNG)" : ""));
    }
  }
  if (path.moved) {
    const auto content = At(before.files, path.moved->first);
    if (At(now.files, path.moved->first) != content && At(now.files, path.moved->second) != content)
      found.push_back("the moved content is whole at neither " + path.moved->first + " nor " +
                      path.moved->second);
  }
  // The index: never deleted, sound, one row per PNG, no row lost that the run keeps, no row the
  // run would not add, and a row added (by this run) only for a PNG that is there and whole. (A
  // later run may delete that PNG: an import whose request is imported again deletes the PNG
  // before it finds the image consumed, in the order of its steps.)
  if (before.indexExists && !now.indexExists) found.push_back("the index was deleted");
  if (!now.indexProblem.empty()) found.push_back("the index: " + now.indexProblem);
  std::set<Text> pngs;
  for (const auto& r : now.rows) {
    if (!pngs.insert(r.png).second) found.push_back("two rows name " + Show(r.png));
    const bool wasThere = std::count(before.rows.begin(), before.rows.end(), r) > 0;
    const bool cleanHasIt = std::count(clean.rows.begin(), clean.rows.end(), r) > 0;
    if (!wasThere && !cleanHasIt) found.push_back("a row the run does not add: " + Show(r.png));
    const bool added = std::count(start.rows.begin(), start.rows.end(), r) == 0;
    if (added && At(now.files, kCache + Utf8(r.png)) != At(clean.files, kCache + Utf8(r.png)))
      found.push_back("a row added for a PNG that is missing or not whole: " + Show(r.png));
  }
  for (const auto& r : before.rows) {
    const bool kept = std::count(clean.rows.begin(), clean.rows.end(), r) > 0;
    if (kept && std::count(now.rows.begin(), now.rows.end(), r) == 0)
      found.push_back("a row the run keeps was deleted: " + Show(r.model));
  }
  return found;
}

bool SameEnd(const State& a, const State& b) { return a.files == b.files && a.rows == b.rows; }

// ---- Running
// ---------------------------------------------------------------------------------------

struct RunOutcome {
  bool threw = false;
  int exitCode = 0;
};

RunOutcome RunProgram(const World& w, const std::vector<Text>& arguments) {
  faults::SetProcess(w.Path("prog/hopgate.exe"), arguments);
  RunOutcome o;
  try {
    o.exitCode = hopgate::Run();
  } catch (...) {
    o.threw = true;
  }
  return o;
}

const char* ModeName(faults::Mode m) { return m == faults::Mode::Once ? "once" : "forgood"; }

// HOPGATE_FAULT_REPLAY=once:N or forgood:N: that case alone.
std::optional<std::pair<faults::Mode, std::size_t>> Replay() {
  const char* value = std::getenv("HOPGATE_FAULT_REPLAY");
  if (value == nullptr || *value == '\0') return std::nullopt;
  const std::string s(value);
  const auto colon = s.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const faults::Mode mode =
      s.substr(0, colon) == "once" ? faults::Mode::Once : faults::Mode::ForGood;
  return std::make_pair(mode, static_cast<std::size_t>(std::stoul(s.substr(colon + 1))));
}

class FaultHarness : public ::testing::TestWithParam<std::size_t> {
 protected:
  static void SetUpTestSuite() { ::SetEnvironmentVariableW(L"TARNCORE_FAIL", nullptr); }
};

TEST_P(FaultHarness, NoFailedCallLosesAFile) {
  const Path& path = Paths()[GetParam()];
  const auto started = std::chrono::steady_clock::now();
  World w;
  ::SetEnvironmentVariableW(L"TARNCORE_DATA_ROOT", (w.root / "data").wstring().c_str());

  // The path's files, made once, put back before every run.
  const Template start = ReadTemplate(w, path.setup(w));
  const auto restore = [&](const Tree& now) { Restore(w, start, now); };
  const std::vector<Text> arguments = path.arguments(w);

  restore({});
  const State before = ReadState(w);
  faults::Arm(0, faults::Mode::Off);
  const RunOutcome cleanRun = RunProgram(w, arguments);
  const std::vector<std::string> calls(faults::Calls().begin(), faults::Calls().end());
  faults::Disarm();
  const State clean = ReadState(w);
  ASSERT_FALSE(cleanRun.threw);
  ASSERT_EQ(cleanRun.exitCode, 0);
  path.didItsWork(w, before, clean);
  ASSERT_FALSE(HasFailure()) << "the run without failures did not do its work";
  ASSERT_EQ(Violations(path, before, clean, before, clean), std::vector<std::string>());

  std::ostringstream list;
  for (std::size_t i = 0; i < calls.size(); ++i) list << " " << i + 1 << ":" << calls[i];
  std::printf("%s: K=%zu\n ", path.name, calls.size());
  std::printf("%s\n", list.str().c_str());

  // Run again after the run without failures: once for every faulted run that ends as it does.
  const RunOutcome cleanAgain = RunProgram(w, arguments);
  EXPECT_FALSE(cleanAgain.threw) << path.name
                                 << ", run again after the run without failures: it threw";
  for (const auto& v : Violations(path, before, clean, clean, ReadState(w)))
    ADD_FAILURE() << path.name << ", run again after the run without failures: " << v;

  const auto replay = Replay();
  Tree last = ReadTree(w.root);
  std::size_t runs = 0, reachedClean = 0;
  for (const faults::Mode mode : {faults::Mode::Once, faults::Mode::ForGood}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      if (replay && (replay->first != mode || replay->second != n)) continue;
      const std::string where = std::string(path.name) + " " + ModeName(mode) + ":" +
                                std::to_string(n) + " (" + calls[n - 1] + ")";
      restore(last);
      faults::Arm(n, mode);
      const RunOutcome faulted = RunProgram(w, arguments);
      const std::size_t failedCalls = faults::FailedCount();
      faults::Disarm();
      EXPECT_FALSE(faulted.threw) << where << ": the run threw";
      EXPECT_EQ(faulted.exitCode, 0) << where;
      EXPECT_GE(failedCalls, 1u) << where << ": the call was not made, so it could not fail";
      const State faultedState = ReadState(w);
      for (const auto& v : Violations(path, before, clean, before, faultedState))
        ADD_FAILURE() << where << ": " << v;

      ++runs;
      // A run that ended as the run without failures is run again once only, below.
      if (SameEnd(faultedState, clean)) {
        last = faultedState.files;
        ++reachedClean;
        continue;
      }
      const RunOutcome again = RunProgram(w, arguments);
      EXPECT_FALSE(again.threw) << where << ", run again: it threw";
      const State after = ReadState(w);
      last = after.files;
      for (const auto& v : Violations(path, before, clean, faultedState, after))
        ADD_FAILURE() << where << ", run again: " << v;
      if (SameEnd(after, clean)) ++reachedClean;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "%s: %zu faulted runs, %zu of them ended as the run without failures once run "
      "again; %.1f s\n",
      path.name, runs, reachedClean, seconds);
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultHarness, ::testing::Range<std::size_t>(0, Paths().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& row) {
                           return std::string(Paths()[row.param].name);
                         });

}  // namespace
