// AddRowUnlessNamed: the import's own count and insert, what they send to SQLite and what they
// store, for the import's names and for names that come from elsewhere (the cache tool's rows).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"
#include "support/temp_folder.h"

namespace {

using storage::TSQLite3Database;
using storage::TSQLite3Value;

const std::string kCount = "SELECT Count(ID) AS IDS FROM PreviewPNGTable WHERE PngMd5FileName=";
const std::string kCountBound = kCount + "?";
const std::string kInsert =
    "INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES (?,?)";

TSQLite3Value AsText(const std::string& bytes) {
  return {TSQLite3Value::Type::String, 0, 0, bytes};
}

class IndexRowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    index_.Open(folder_.File("PreviewPNG.sqlite"));
    index_.Execute(preview::kCreateIndexTable);
    // A row already there: a name read as a column would find it.
    index_.Execute(
        u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) "
        u"VALUES ('1','first')");
    sqlite3_trace_v2(index_.Handle(), SQLITE_TRACE_STMT, &IndexRowTest::Record, &sent_);
  }

  // Each statement's text as the connection begins to run it.
  static int Record(unsigned /*type*/, void* sent, void* /*statement*/, void* text) {
    static_cast<std::vector<std::string>*>(sent)->emplace_back(static_cast<const char*>(text));
    return 0;
  }

  // The models of the rows that name `png`, byte for byte.
  std::vector<std::string> ModelsOf(const std::string& png) {
    auto rows = index_.Prepare(
        u"SELECT SwFullFileName FROM PreviewPNGTable "
        u"WHERE PngMd5FileName=? AND typeof(PngMd5FileName)='text'");
    rows->Bind(1, AsText(png));
    std::vector<std::string> models;
    while (rows->Step() == storage::kStepRow) {
      const TSQLite3Value model = rows->ColumnValue(0);
      EXPECT_EQ(static_cast<int>(model.type), static_cast<int>(TSQLite3Value::Type::String));
      models.push_back(model.bytes);
    }
    return models;
  }

  testsupport::TempFolder folder_{"hopgate-index-row"};
  TSQLite3Database index_;
  std::vector<std::string> sent_;
};

// The name stands in the count's text between double quotes, as the import has always sent it;
// the row is added once and its texts stored byte for byte. A name that the word cannot carry
// (a column's name, read by SQLite as that column, or a zero byte, which ends the text) is bound.
TEST_F(IndexRowTest, CountsThenInsertsOnceWithTheImportsStatements) {
  const struct {
    const char* name;
    std::string png;
    std::string count;  // the count as sent
  } cases[] = {
      {"the import's name", "9E107D9D372BB6826BD81D3542A419D6.PNG",
       kCount + "\"9E107D9D372BB6826BD81D3542A419D6.PNG\""},
      {"a double quote", "a\"b.PNG", kCount + "\"a\"\"b.PNG\""},
      {"ill-formed UTF-8", "\xFF\xC3(.PNG", kCount + "\"\xFF\xC3(.PNG\""},
      {"a column's name", "pngMD5fileNAME", kCountBound},
      {"the integer column's name", "Id", kCountBound},
      {"a name of the row ID", "_ROWID_", kCountBound},
      {"a zero byte", std::string("a\0b.PNG", 7), kCountBound},
  };
  const std::string model = "C:\\Models\\caf\xC3\xA9 \xFE.SLDPRT";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sent_.clear();
    EXPECT_EQ(preview::AddRowUnlessNamed(index_, c.png, model), storage::kStepDone);
    EXPECT_EQ(sent_, (std::vector<std::string>{c.count, kInsert}));
    EXPECT_EQ(ModelsOf(c.png), std::vector<std::string>{model});

    sent_.clear();
    EXPECT_EQ(preview::AddRowUnlessNamed(index_, c.png, "other"), storage::kStepDone);
    EXPECT_EQ(sent_, std::vector<std::string>{c.count});  // named already: no insert
    EXPECT_EQ(ModelsOf(c.png), std::vector<std::string>{model});
  }
}

// A count that cannot be read (another run's lock, no wait) might have found a row: nothing is
// inserted, and the count's code comes back.
TEST_F(IndexRowTest, CountThatCannotBeReadAddsNothing) {
  TSQLite3Database other;
  other.Open(folder_.File("PreviewPNG.sqlite"));
  other.Execute(u"BEGIN EXCLUSIVE");
  EXPECT_EQ(preview::AddRowUnlessNamed(index_, "new.PNG", "model"), storage::kStepBusy);
  EXPECT_EQ(sent_, std::vector<std::string>{kCount + "\"new.PNG\""});
  other.Execute(u"COMMIT");
  EXPECT_TRUE(ModelsOf("new.PNG").empty());
}

}  // namespace
