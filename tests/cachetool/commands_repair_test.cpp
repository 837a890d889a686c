// hopgate-cache repair.
#include <ctime>

#include "commands_fixture.h"

namespace cachecommands {
namespace {

constexpr std::size_t kPage = 4096;  // SQLite's default page size, which the fixture indexes use

// The rows that the pages [first, last] (numbered from 1) held, each found by its key in the
// bytes of those pages as they were before the damage.
std::vector<IndexRow> RowsOnPages(const std::string& file, std::size_t first, std::size_t last,
                                  const std::vector<IndexRow>& rows) {
  const std::string pages = file.substr((first - 1) * kPage, (last - first + 1) * kPage);
  std::vector<IndexRow> on;
  for (const auto& row : rows) {
    if (Contains(pages, RowKey(static_cast<int>(row.id)))) on.push_back(row);
  }
  return on;
}

// The index's schema and text encoding as SQLite keeps them.
std::u16string SchemaOf(const fs::path& file) {
  storage::TSQLite3Database db;
  db.OpenExisting(PathText(file), storage::TSQLite3Database::TOpenMode::ReadOnly);
  std::u16string schema;
  auto s = db.Prepare(u"SELECT sql FROM sqlite_master UNION ALL SELECT * FROM pragma_encoding");
  while (s->Step() == storage::kStepRow) schema += s->ColumnText(0) + u"\n";
  return schema;
}

// Each kind of damage, made in the test on an index of known rows: what repair salvages is
// exactly the rows on the pages left whole, the damaged file is kept beside the new index as it
// was, and hopgate registers new previews in the new index.
TEST_F(CacheCommands, RepairSalvagesEveryRowOfTheWholePagesAndKeepsTheDamagedFile) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path sample = root / "sample.sqlite";
  const std::vector<IndexRow> written = FillIndex(sample, 3000);
  const std::string sound = ReadFile(sample);
  ASSERT_EQ(sound.size() % kPage, 0u);
  const std::size_t pages = sound.size() / kPage;
  ASSERT_GT(pages, 60u);
  const std::size_t middle = pages / 2;

  struct Case {
    const char* name;
    std::string damaged;             // the index file as the damage leaves it
    std::vector<IndexRow> salvaged;  // what repair must bring back
    int exitCode;
    const char* says;
  };
  std::string smashed = sound;
  smashed.replace(0, 32, std::string(32, '\xA5'));
  std::string torn = sound;
  torn.replace((middle - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  std::string both = torn;
  both.replace(0, 32, std::string(32, '\xA5'));
  const std::size_t kept = pages * 6 / 10;
  // The leaf that new rows go to: the page with the last row's cell.
  const std::size_t last = sound.find("P" + RowKey(2999) + ".PNG") / kPage + 1;
  std::string tornLast = sound;
  tornLast.replace((last - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  // Rows deleted by the hundred leave whole pages on SQLite's freelist, their cells still in them.
  fs::copy_file(sample, root / "freed.sqlite");
  IndexFile(root / "freed.sqlite")
      .Execute(u"DELETE FROM PreviewPNGTable WHERE ID BETWEEN 1000 AND 1600");
  std::string freed = ReadFile(root / "freed.sqlite");
  ASSERT_EQ(freed.size(), sound.size());
  ASSERT_NE(freed.substr(36, 4), std::string(4, '\0')) << "no page on the freelist";
  freed.replace(0, 32, std::string(32, '\xA5'));
  std::vector<IndexRow> afterDelete = written;
  std::erase_if(afterDelete, [](const IndexRow& r) { return r.id >= 1000 && r.id <= 1600; });
  // A torn write of one leaf: a transaction deleted the page's first row and changed another row
  // in place, and only the page's first sector (its header and cell pointers) reached the disk;
  // the rest is the older content. Every pointer still finds a whole cell and the free blocks read
  // are the older ones, but the deleted row's cell is neither a cell nor free space: only the sum
  // of the content area shows the tear, and taking the page would bring back the changed row's
  // older value.
  const std::size_t leaf = sound.find("P" + RowKey(1500) + ".PNG") / kPage + 1;
  std::vector<IndexRow> onLeaf = RowsOnPages(sound, leaf, leaf, written);
  std::erase_if(onLeaf, [](const IndexRow& r) { return r.id % 40 == 0; });
  ASSERT_GE(onLeaf.size(), 3u);
  const IndexRow gone = onLeaf.front(), changed = onLeaf[onLeaf.size() / 2];
  fs::copy_file(sample, root / "changed.sqlite");
  IndexFile(root / "changed.sqlite")
      .Execute(u"DELETE FROM PreviewPNGTable WHERE ID = " + U16(std::to_string(gone.id)) +
               u"; UPDATE PreviewPNGTable SET SwFullFileName = "
               u"replace(SwFullFileName, '/models/', '/MODELS/') WHERE ID = " +
               U16(std::to_string(changed.id)));
  const std::string newer = ReadFile(root / "changed.sqlite");
  ASSERT_EQ(newer.size(), sound.size());
  constexpr std::size_t kSector = 512;
  const std::size_t leafAt = (leaf - 1) * kPage;
  ASSERT_NE(newer.substr(leafAt, kSector), sound.substr(leafAt, kSector));
  ASSERT_NE(newer.substr(leafAt + kSector, kPage - kSector),
            sound.substr(leafAt + kSector, kPage - kSector));
  std::string tornWrite = newer;
  tornWrite.replace(leafAt + kSector, kPage - kSector,
                    sound.substr(leafAt + kSector, kPage - kSector));
  std::vector<IndexRow> afterChange = Without(written, {gone});
  for (auto& r : afterChange) {
    if (r.id == changed.id) r.model = u"/MODELS/" + r.model.substr(8);
  }
  // The newest row deleted, then the cell count of the leaf that held it raised by one, so that
  // its last pointer finds the deleted row's cell again: the leaf is not whole, and the row stays
  // deleted.
  fs::copy_file(sample, root / "purged.sqlite");
  IndexFile(root / "purged.sqlite")
      .Execute(u"DELETE FROM PreviewPNGTable WHERE ID = " + U16(std::to_string(written.back().id)));
  std::string recounted = ReadFile(root / "purged.sqlite");
  const std::size_t countAt = (last - 1) * kPage + 3;
  const unsigned cells = static_cast<unsigned char>(recounted[countAt]) << 8 |
                         static_cast<unsigned char>(recounted[countAt + 1]);
  recounted[countAt] = static_cast<char>((cells + 1) >> 8);
  recounted[countAt + 1] = static_cast<char>((cells + 1) & 0xFF);
  const std::vector<IndexRow> purged = Without(written, {written.back()});
  const Case cases[] = {
      {"the newest row deleted and its leaf's cell count raised", recounted,
       Without(purged, RowsOnPages(sound, last, last, purged)), 1,
       "1 page of the table could not be read"},
      {"a smashed header", smashed, written, 0,
       "the file's header is damaged: page size 4096 found from its first page"},
      {"a smashed header over pages of deleted rows", freed, afterDelete, 0,
       "the file's header is damaged: page size 4096 found from its first page"},
      {"a torn leaf page in the middle", torn,
       Without(written, RowsOnPages(sound, middle, middle, written)), 1,
       "1 page of the table could not be read"},
      {"a smashed header and a torn page", both,
       Without(written, RowsOnPages(sound, middle, middle, written)), 1,
       "1 page of the table could not be read"},
      {"a torn last leaf page", tornLast, Without(written, RowsOnPages(sound, last, last, written)),
       1, "1 page of the table could not be read"},
      {"a leaf torn between its newer header and its older cells", tornWrite,
       Without(afterChange, RowsOnPages(newer, leaf, leaf, afterChange)), 1,
       "1 page of the table could not be read"},
      {"a truncated file", sound.substr(0, kept * kPage),
       Without(written, RowsOnPages(sound, kept + 1, pages, written)), 1,
       "of the table could not be read"},
      {"a file that is not SQLite at all",
       std::string(3 * kPage, 'x'),
       {},
       1,
       "no page size makes its first page readable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    WriteFile(index, c.damaged);
    ASSERT_EQ(Tool({u"check"}).exitCode, 1);

    const Tree before = Snapshot(data);
    const ToolRun dry = Tool({u"repair", u"--dry-run"});
    EXPECT_EQ(dry.exitCode, c.exitCode) << dry.out << dry.err;
    EXPECT_TRUE(Contains(dry.out, c.says)) << dry.out;
    EXPECT_TRUE(Contains(dry.out, "salvaged " + std::to_string(c.salvaged.size()) + " row"))
        << dry.out;
    EXPECT_TRUE(Contains(dry.out, "dry run: nothing changed\n")) << dry.out;
    EXPECT_EQ(Snapshot(data), before);

    const ToolRun r = Tool({u"repair"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Contains(r.out, c.says)) << r.out;
    // No import ran: no row was added during the repair, and none is said to be.
    EXPECT_FALSE(Contains(r.out, "carried over")) << r.out;
    EXPECT_EQ(Index().Rows(), c.salvaged);
    // The damaged file, byte for byte, under the name the output gives, beside the index.
    const std::regex keptLine(
        "\nkept the damaged index as (PreviewPNG\\.sqlite\\.damaged-[0-9]{8}-[0-9]{6})\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, keptLine)) << r.out;
    EXPECT_EQ(ReadFile(cache / m[1].str()), c.damaged);
    EXPECT_TRUE(Contains(
        r.out, "repaired: the new index holds " + std::to_string(c.salvaged.size()) + " row"))
        << r.out;
    // Nothing left of the work: only the index and the kept file.
    EXPECT_EQ(Snapshot(cache).size(), 2u) << r.out;

    // The table as hopgate makes it, in UTF-8.
    EXPECT_EQ(SchemaOf(index), SchemaOf(sample));
    // SQLite finds the new index sound, and hopgate registers new previews in it.
    const ToolRun check = Tool({u"check", u"--json"});
    EXPECT_FALSE(Contains(check.out, "integrity")) << check.out;
    CacheFile("NEW.PNG");
    preview::RegisterPreview(u"NEW.PNG", Model("new.sw"));
    ASSERT_FALSE(Index().Rows().empty());
    EXPECT_EQ(Index().Rows().back().png, u"NEW.PNG");
    EXPECT_GT(Index().Rows().back().id, c.salvaged.empty() ? 0 : c.salvaged.back().id);
    EXPECT_EQ(Tool({u"repair"}).out, "the index is sound: nothing to repair\n");
  }
}

// A transaction cut short leaves a half-written index with its hot journal beside it. repair keeps
// the pair as it stood under matching names, byte for byte, lets SQLite roll the journal back into
// the index, and only then decides: a pair whose rollback leaves a sound index is not damage (the
// index keeps its committed rows, nothing is replaced or kept); a pair that stays damaged (a torn
// leaf the journal does not hold) is salvaged from the committed rows, never the uncommitted ones.
TEST_F(CacheCommands, RepairRollsAHotJournalBackFirstAndKeepsThePairAsItStood) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const struct {
    const char* name;
    HalfWritten made;
    int exitCode;
  } cases[] = {
      {"a sound index", MakeHalfWritten(root / "half", 400), 0},
      {"a torn leaf besides", MakeTornHalfWritten(root / "torn", 400), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    WriteFile(index, c.made.index);
    WriteFile(cache / "PreviewPNG.sqlite-journal", c.made.journal);

    const ToolRun r = Tool({u"repair", u"--json"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_FALSE(fs::exists(cache / "PreviewPNG.sqlite-journal"));
    EXPECT_EQ(Index().Rows(), Without(c.made.committed, c.made.torn));
    const bool damaged = !c.made.torn.empty();
    EXPECT_TRUE(Contains(r.out, std::string("\"damaged\": ") + (damaged ? "true" : "false")))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "\"journal\": true")) << r.out;
    if (!damaged) {
      EXPECT_EQ(Snapshot(cache).size(), 1u) << r.out;
      continue;
    }
    EXPECT_TRUE(Contains(
        r.out, "\"rows\": " + std::to_string(c.made.committed.size() - c.made.torn.size())))
        << r.out;
    const std::regex keptAs("\"kept_as\": \"([^\"]*)\", \"journal_kept_as\": \"([^\"]*)\"");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, keptAs)) << r.out;
    EXPECT_EQ(m[2].str(), m[1].str() + "-journal");
    EXPECT_EQ(ReadFile(cache / fs::path(m[1].str()).filename()), c.made.index);
    EXPECT_EQ(ReadFile(cache / fs::path(m[2].str()).filename()), c.made.journal);
    // The index, the kept file and its journal: nothing else is left.
    EXPECT_EQ(Snapshot(cache).size(), 3u) << r.out;
    CacheFile("NEW.PNG");
    preview::RegisterPreview(u"NEW.PNG", Model("new.sw"));
    EXPECT_EQ(Index().Rows().back().png, u"NEW.PNG");
  }
}

// A journal beside the index that a running transaction is writing (it holds the lock under which
// SQLite writes one) is that transaction's, not the index's: the repair reads the index's committed
// pages, under a shared lock, and plays that journal back nowhere, nor says it did.
TEST_F(CacheCommands, RepairLeavesTheJournalOfARunningTransactionAlone) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path made = root / "made" / "PreviewPNG.sqlite";
  fs::create_directories(made.parent_path());
  const std::vector<IndexRow> committed = FillIndex(made, 400);
  std::string bytes = ReadFile(made);
  const std::vector<IndexRow> torn = TearLastLeaf(bytes, committed);
  WriteFile(index, bytes);

  storage::TSQLite3Database writer;
  writer.Open(PathText(index));
  writer.BeginTransaction(storage::TSQLite3Database::TTransactionMode::Immediate);
  writer.Execute(u"UPDATE PreviewPNGTable SET SwFullFileName='uncommitted' WHERE ID < 100");
  ASSERT_GT(fs::file_size(cache / "PreviewPNG.sqlite-journal"), 0u);
  const std::string journal = ReadFile(cache / "PreviewPNG.sqlite-journal");

  const ToolRun r = Tool({u"repair", u"--dry-run", u"--json"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"journal\": false")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"rows\": " + std::to_string(committed.size() - torn.size())))
      << r.out;
  EXPECT_EQ(ReadFile(index), bytes);
  EXPECT_EQ(ReadFile(cache / "PreviewPNG.sqlite-journal"), journal);
  writer.Rollback();
}

// An index in WAL mode as another tool leaves it while it still has the index open: the main file,
// its log and its shared memory as they stood, the last change committed only in the log (no
// checkpoint ran), the rows committed, and the pages the log holds.
struct WalIndex {
  std::string index, wal, shm;
  std::vector<IndexRow> committed;
  std::set<std::size_t> logPages;
};

WalIndex MakeWalIndex(const fs::path& folder, const std::u16string& change) {
  fs::create_directories(folder);
  const fs::path file = folder / "PreviewPNG.sqlite";
  FillIndex(file, 3000);
  storage::TSQLite3Database db;
  db.Open(PathText(file));
  db.Execute(u"PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
  db.Execute(change);
  WalIndex made{ReadFile(file),
                ReadFile(fs::path(file).concat("-wal")),
                ReadFile(fs::path(file).concat("-shm")),
                IndexFile(file).Rows(),
                {}};
  // The log: a 32-byte header, then frames of a 24-byte header (the page number first) and a page.
  const auto number = [&](std::size_t at) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(made.wal[at + i]);
    return n;
  };
  for (std::size_t at = 32; at + 24 + kPage <= made.wal.size(); at += 24 + kPage) {
    made.logPages.insert(number(at));
  }
  if (made.logPages.empty()) throw std::runtime_error("the change left nothing in the log");
  return made;
}

// An index in WAL mode keeps its committed rows through a repair, those in the log included, and
// no log of the old file is left beside the new index: a damaged one is kept with its log, byte for
// byte, and salvaged once SQLite has checkpointed the log into it; a sound one is not touched (the
// bytes of all three files stay); one that SQLite cannot checkpoint (too damaged to open, or
// another connection's lock) is refused with everything as it was; a dry run changes nothing and
// counts the log's rows.
TEST_F(CacheCommands, RepairCheckpointsTheLogOfAnIndexInWalModeFirst) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path wal = cache / "PreviewPNG.sqlite-wal", shm = cache / "PreviewPNG.sqlite-shm";
  // Rows added after the last checkpoint: in the log only.
  const WalIndex added = MakeWalIndex(
      root / "added",
      u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<300) INSERT INTO "
      u"PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) SELECT 5000+i, 'W'||i||'.PNG', "
      u"'/models/wal-'||i||'.sw' FROM n");
  // Rows changed in place, same length: the log holds their leaves, not page 1.
  const WalIndex changed = MakeWalIndex(
      root / "changed",
      u"UPDATE PreviewPNGTable SET SwFullFileName = replace(SwFullFileName, '/models/', "
      u"'/MODELS/') WHERE ID BETWEEN 100 AND 400");
  ASSERT_EQ(changed.logPages.count(1), 0u);
  ASSERT_EQ(added.committed.size(), changed.committed.size() + 300);
  ASSERT_EQ(added.committed.back().id, 5300);
  const std::size_t leaf = added.index.find("P" + RowKey(1500) + ".PNG") / kPage + 1;
  ASSERT_EQ(added.logPages.count(leaf), 0u) << "the log holds the page to be torn";
  std::string torn = added.index;
  torn.replace((leaf - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  const std::vector<IndexRow> tornRows = RowsOnPages(added.index, leaf, leaf, added.committed);
  ASSERT_FALSE(tornRows.empty());
  std::string smashed = changed.index;
  smashed.replace(0, kPage, std::string(kPage, 'x'));

  struct Case {
    const char* name;
    const WalIndex* made;
    std::string damaged;  // the main file as the damage leaves it
    bool locked;          // another connection keeps the index open meanwhile
    int exitCode;
    std::string says;  // a line of the output, or the start of the failure's line
  };
  const std::string path = Utf8(index);
  const Case cases[] = {
      {"a sound index", &added, added.index, false, 0, "the index is sound: nothing to repair"},
      {"a torn leaf beside rows in the log", &added, torn, false, 1,
       "salvaged " + std::to_string(added.committed.size() - tornRows.size()) + " rows"},
      {"a first page SQLite cannot read", &changed, smashed, false, 2,
       "cannot checkpoint the write-ahead log into the index " + path + ": file is not a database"},
      {"a lock held past hopgate's wait", &added, torn, true, 2,
       "cannot checkpoint the write-ahead log into the index " + path + ": database is locked"},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (json ? ", --json" : ""));
      if (json && c.exitCode != 1) continue;
      fs::remove_all(cache);
      fs::create_directories(cache);
      WriteFile(index, c.damaged);
      WriteFile(wal, c.made->wal);
      WriteFile(shm, c.made->shm);
      const Tree before = Snapshot(data);

      const ToolRun dry = Tool({u"repair", u"--dry-run"});
      EXPECT_EQ(dry.exitCode, c.locked ? 1 : c.exitCode) << dry.out << dry.err;
      EXPECT_TRUE(Contains(dry.out + dry.err, c.locked ? "dry run: nothing changed" : c.says))
          << dry.out << dry.err;
      EXPECT_EQ(Snapshot(data), before);
      EXPECT_EQ(ReadFile(shm), c.made->shm);

      storage::TSQLite3Database holder;
      if (c.locked) {
        holder.Open(PathText(index));
        holder.Prepare(u"SELECT count(*) FROM PreviewPNGTable")->Step();
      }
      const ToolRun r = Tool(json ? std::vector<std::u16string>{u"repair", u"--json"}
                                  : std::vector<std::u16string>{u"repair"});
      EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
      if (c.exitCode != 1) {
        if (c.exitCode == 2) ExpectOneLineFailure(r, c.says, c.name);
        if (c.exitCode == 0) {
          EXPECT_EQ(r.out, c.says + "\n");
        }
        // Nothing replaced, kept or checkpointed: the three files as they stood.
        EXPECT_EQ(ReadFile(index), c.damaged);
        EXPECT_EQ(ReadFile(wal), c.made->wal);
        if (!c.locked) {
          EXPECT_EQ(ReadFile(shm), c.made->shm);
        }
        EXPECT_EQ(Snapshot(cache).size(), 3u);
        continue;  // the holder's closing checkpoints the log, as the last connection's does
      }
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(Index().Rows(), Without(added.committed, tornRows));
      EXPECT_FALSE(fs::exists(wal));
      EXPECT_FALSE(fs::exists(shm));
      std::string kept, keptLog;
      std::smatch m;
      if (json) {
        const std::regex keptAs(
            "\"kept_as\": \"([^\"]*)\", \"journal_kept_as\": null, "
            "\"wal_kept_as\": \"([^\"]*)\"");
        ASSERT_TRUE(std::regex_search(r.out, m, keptAs)) << r.out;
        kept = fs::path(m[1].str()).filename().string();
        keptLog = fs::path(m[2].str()).filename().string();
      } else {
        EXPECT_TRUE(Contains(r.out, c.says)) << r.out;
        const std::regex keptLines(
            "\nkept the damaged index as (PreviewPNG\\.sqlite\\.damaged-[0-9-]+)\n"
            "kept its write-ahead log as (PreviewPNG\\.sqlite\\.damaged-[0-9-]+-wal)\n");
        ASSERT_TRUE(std::regex_search(r.out, m, keptLines)) << r.out;
        kept = m[1].str();
        keptLog = m[2].str();
      }
      EXPECT_EQ(keptLog, kept + "-wal");
      EXPECT_EQ(ReadFile(cache / kept), c.damaged);
      EXPECT_EQ(ReadFile(cache / keptLog), added.wal);
      // The index, the kept file and its log: nothing else is left.
      EXPECT_EQ(Snapshot(cache).size(), 3u) << r.out;
      CacheFile("NEW.PNG");
      preview::RegisterPreview(u"NEW.PNG", Model("new.sw"));
      EXPECT_EQ(Index().Rows().back().png, u"NEW.PNG");
      EXPECT_FALSE(fs::exists(wal));
    }
  }
}

// A lock is told from damage by the result code of the step that met it, never by the words of a
// message: a damaged index whose one integrity message ends in "database is locked" is repaired.
// (A lock itself: RepairLeavesAnIndexThatIsNotDamagedAsItIs.)
TEST_F(CacheCommands, RepairTellsALockFromDamageByTheResultCode) {
  Row(u"A.PNG", Model("a.sw"));
  const std::vector<IndexRow> rows = Index().Rows();
  // A column declared NOT NULL after a NULL was stored in it.
  Index().Execute(
      u"CREATE TABLE t(x); INSERT INTO t VALUES(NULL); PRAGMA writable_schema=ON; UPDATE "
      u"sqlite_master SET sql='CREATE TABLE t(\"database is locked\" NOT NULL)' WHERE name='t'; "
      u"PRAGMA writable_schema=OFF;");
  const ToolRun r = Tool({u"repair"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out).front(), "the index is damaged: NULL value in t.database is locked");
  EXPECT_EQ(Index().Rows(), rows);
}

// What stands in the index's place decides what each command may do with it. Anything but a file
// (here a folder; on POSIX also a FIFO and a device) is never opened: check names it, counted,
// since no import can register a preview while it stands there, list cannot read it, and repair
// refuses it; a link to a file is read as the file, but repair never replaces a link by a file of
// its own. Nothing is moved or changed.
TEST_F(CacheCommands, WhatStandsInTheIndexsPlaceIsNamedAndOnlyAFileIsRepaired) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const std::string path = Utf8(index);
  const std::string damagedBytes = std::string(4096, 'x');
  const auto notAFile = [&](const std::string& what) {
    return "index-not-a-file " + path + " is " + what +
           ", not a file: no import can register a preview until it is moved away\n";
  };
  struct Case {
    const char* name;
    std::function<void()> make;
    int checkExit;
    std::string checkSays;  // a line of check's output
    int repairExit;
    std::string repairSays;  // what repair prints (standard output, or the failure's line)
    bool listReads;
  };
  std::vector<Case> cases = {
      {"a folder", [&] { fs::create_directories(index / "inside"); }, 1, notAFile("a folder"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a folder, not a file\n", false},
  };
#ifndef _WIN32
  const fs::path elsewhere = root / "elsewhere.sqlite";
  const auto soundRow = [&] {
    IndexFile(elsewhere).CreateTable();
    IndexFile(elsewhere).AddRow(std::nullopt, u"A.PNG", Model("a.sw"));
  };
  cases.push_back(
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(index.c_str(), 0666), 0); }, 1, notAFile("a FIFO"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a FIFO, not a file\n", false});
  cases.push_back(
      {"a link to a device", [&] { fs::create_symlink("/dev/null", index); }, 1,
       notAFile("a device"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a device, not a file\n", false});
  cases.push_back({"a link to a sound index",
                   [&] {
                     soundRow();
                     CacheFile("A.PNG");
                     fs::create_symlink(elsewhere, index);
                   },
                   0, "1 row, 2 files, ", 0, "the index is sound: nothing to repair\n", true});
  cases.push_back({"a link to a damaged index",
                   [&] {
                     WriteFile(elsewhere, damagedBytes);
                     fs::create_symlink(elsewhere, index);
                   },
                   1, "integrity       cannot read the index " + path, 2,
                   "hopgate-cache: cannot repair the index " + path +
                       ": it is a symbolic link, and repair would replace the link, not the file "
                       "it leads to\n",
                   false});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::remove(root / "elsewhere.sqlite");
    fs::create_directories(cache);
    c.make();
    const Tree before = Snapshot(root);

    const ToolRun check = Tool({u"check"});
    EXPECT_EQ(check.exitCode, c.checkExit) << check.out << check.err;
    EXPECT_TRUE(Contains("\n" + check.out, "\n" + c.checkSays)) << check.out;
    const ToolRun list = Tool({u"list"});
    if (c.listReads) {
      EXPECT_EQ(list.exitCode, 0) << list.err;
      EXPECT_EQ(Lines(list.out).back(), "(1 row)");
    } else {
      EXPECT_EQ(list.exitCode, 2);
      EXPECT_EQ(list.err.rfind("hopgate-cache: cannot read the index " + path + ": ", 0), 0u)
          << list.err;
    }
    for (const auto& arguments : {std::vector<std::u16string>{u"repair"},
                                  std::vector<std::u16string>{u"repair", u"--dry-run"}}) {
      const ToolRun repair = Tool(arguments);
      EXPECT_EQ(repair.exitCode, c.repairExit) << Show(arguments.back());
      EXPECT_EQ(c.repairExit == 2 ? repair.err : repair.out, c.repairSays);
    }
    EXPECT_EQ(Snapshot(root), before);
  }
}

// What is not damaged is left alone: no index, an empty (zero-length) file, a sound index.
TEST_F(CacheCommands, RepairLeavesAnIndexThatIsNotDamagedAsItIs) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const struct {
    const char* name;
    std::optional<std::string> bytes;
  } cases[] = {{"no index", std::nullopt}, {"a zero-length file", ""}, {"a sound index", "sound"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    if (c.bytes && c.bytes->empty()) WriteFile(index, "");
    if (c.bytes && !c.bytes->empty()) Row(u"A.PNG", Model("a.sw"));
    const Tree before = Snapshot(data);
    for (const auto& args : {std::vector<std::u16string>{u"repair"},
                             std::vector<std::u16string>{u"repair", u"--dry-run", u"--json"}}) {
      const ToolRun r = Tool(args);
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      if (args.size() == 1) {
        EXPECT_EQ(r.out, c.bytes ? "the index is sound: nothing to repair\n"
                                 : "there is no index: nothing to repair\n");
      } else {
        EXPECT_TRUE(Contains(r.out, "\"damaged\": false")) << r.out;
        EXPECT_TRUE(Contains(r.out, "\"kept_as\": null")) << r.out;
      }
      EXPECT_EQ(Snapshot(data), before);
    }
  }
  ExpectOneLineFailure(Tool({u"--data-root", PathText(root / "nowhere"), u"repair"}),
                       "no cache at ", "repair without a cache");

  // A sound index that another connection keeps locked for longer than hopgate's wait is not
  // taken for a damaged one: the repair fails and changes nothing.
  Row(u"A.PNG", Model("a.sw"));
  storage::TSQLite3Database holder;
  holder.Open(PathText(index));
  holder.Execute(u"BEGIN EXCLUSIVE");
  const Tree before = Snapshot(data);
  ExpectOneLineFailure(Tool({u"repair"}),
                       "cannot read the index " + Utf8(index) + ": database is locked",
                       "repair of a locked index");
  EXPECT_EQ(Snapshot(data), before);
}

// The PNGs written since the repair began that no row of the new index names are named in its
// report; one that a row names (in any ASCII case) and one written before are not.
TEST_F(CacheCommands, RepairNamesOnlyThePngsMadeMeanwhileThatGotNoRow) {
  const fs::path sample = root / "sample.sqlite";
  FillIndex(sample, 3000);
  std::string torn = ReadFile(sample);
  const std::size_t middle = torn.size() / kPage / 2;
  torn.replace((middle - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  WriteFile(cache / "PreviewPNG.sqlite", torn);
  const auto later = fs::file_time_type::clock::now() + std::chrono::hours(1);
  for (const std::string& name :
       {std::string("NEW.PNG"), "p" + RowKey(1) + ".png", std::string("OLD.PNG")}) {
    WriteFile(cache / name, kSamplePng);
    fs::last_write_time(cache / name, later);
  }
  MakeOld(cache / "OLD.PNG");
  const ToolRun r = Tool({u"repair"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "1 preview made during the repair got no row")) << r.out;
  EXPECT_TRUE(Contains(r.out, "registers it: NEW.PNG\n")) << r.out;
}

// A kept name is never one beside which a stray kept journal stands: that journal would be played
// into the kept file the first time it is opened. Strays stand under every name the clock could
// give the run; the damaged file is kept under another, byte for byte, and the strays are left as
// they were.
TEST_F(CacheCommands, RepairNeverKeepsTheDamagedFileBesideAStrayJournal) {
  const fs::path sample = root / "sample.sqlite";
  FillIndex(sample, 200);
  std::string damaged = ReadFile(sample);
  damaged.replace(0, 32, std::string(32, '\xA5'));
  WriteFile(cache / "PreviewPNG.sqlite", damaged);
  const std::string stray = MakeHalfWritten(root / "stray", 400).journal;
  std::vector<fs::path> strays;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 1; t <= now + 30; ++t) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&t));
    strays.push_back(cache / ("PreviewPNG.sqlite.damaged-" + std::string(stamp) + "-journal"));
    WriteFile(strays.back(), stray);
  }
  const ToolRun r = Tool({u"repair"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::regex keptLine(
      "\nkept the damaged index as (PreviewPNG\\.sqlite\\.damaged-[0-9-]+)\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, keptLine)) << r.out;
  EXPECT_FALSE(fs::exists(cache / (m[1].str() + "-journal"))) << m[1].str();
  EXPECT_EQ(ReadFile(cache / m[1].str()), damaged);
  for (const auto& path : strays) EXPECT_EQ(ReadFile(path), stray) << path;
}

}  // namespace
}  // namespace cachecommands
