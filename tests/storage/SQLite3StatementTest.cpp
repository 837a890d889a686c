#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "storage/SQLite3Utils.h"
#include "storage/SQLite3Wrap.h"
#include "storage/StorageFixture.h"

namespace storagetest {
namespace {

using storage::ResultCodeText;
using storage::TSQLite3Database;
using storage::TSQLite3Statement;
using storage::TSQLite3Value;

// SQLite's result and type codes, as the layer hands them through.
using storage::kStepBusy;
using storage::kStepDone;
using storage::kStepRow;
constexpr int kConstraint = 19;
constexpr int kInteger = 1, kFloat = 2, kText = 3, kBlob = 4, kNull = 5;

class StatementTest : public StorageTest {
 protected:
  void SetUp() override { OpenWithTable(db_); }
  TSQLite3Database db_;
};

TEST_F(StatementTest, StepOnQueryGivesEachRowThenDone) {
  db_.Execute(u"INSERT INTO t(v) VALUES('a'), ('b');");
  auto query = db_.Prepare(u"SELECT v FROM t ORDER BY id;");
  ASSERT_EQ(query->Step(), kStepRow);
  EXPECT_EQ(query->ColumnText(0), u"a");
  ASSERT_EQ(query->Step(), kStepRow);
  EXPECT_EQ(query->ColumnText(0), u"b");
  EXPECT_EQ(query->Step(), kStepDone);
}

TEST_F(StatementTest, StepOnInsertGivesDoneOnce) {
  auto insert = db_.Prepare(u"INSERT INTO t(v) VALUES('x');");
  EXPECT_EQ(insert->Step(), kStepDone);
  EXPECT_EQ(db_.LastInsertRowID(), 1);
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 1);
}

TEST_F(StatementTest, StepHandsFailureCodesBackWithoutRaising) {
  db_.Execute(u"INSERT INTO t(id, v) VALUES(1, 'a');");
  auto insert = db_.Prepare(u"INSERT INTO t(id, v) VALUES(1, 'again');");
  int code = 0;
  EXPECT_NO_THROW(code = insert->Step());
  EXPECT_EQ(code, kConstraint);
  insert->Reset();
  EXPECT_NO_THROW(code = insert->Step());  // still usable, fails the same way
  EXPECT_EQ(code, kConstraint);
  // What a message says of such a code: SQLite's own text for it.
  EXPECT_EQ(ResultCodeText(code), u"constraint failed");
  EXPECT_EQ(ResultCodeText(kStepBusy), u"database is locked");
}

TEST_F(StatementTest, StepAndResetReturnsTheStepCodeAndRewinds) {
  db_.Execute(u"INSERT INTO t(v) VALUES('a'), ('b');");
  auto query = db_.Prepare(u"SELECT v FROM t ORDER BY id;");
  EXPECT_EQ(query->StepAndReset(), kStepRow);
  ASSERT_EQ(query->Step(), kStepRow);
  EXPECT_EQ(query->ColumnText(0), u"a");  // starts again from the first row

  auto insert = db_.Prepare(u"INSERT INTO t(v) VALUES(?);");
  insert->BindText(1, u"c");
  EXPECT_EQ(insert->StepAndReset(), kStepDone);
  EXPECT_EQ(insert->StepAndReset(), kStepDone);  // reset, so it runs again with the same binding
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t WHERE v = 'c';"), 2);

  // A failing step is reported and reset all the same: the next one fails anew, not with 101.
  db_.Execute(u"DELETE FROM t WHERE v = 'c'; CREATE UNIQUE INDEX one_v ON t(v);");
  EXPECT_EQ(insert->StepAndReset(), kStepDone);
  EXPECT_EQ(insert->StepAndReset(), kConstraint);
  EXPECT_EQ(insert->StepAndReset(), kConstraint);
}

TEST_F(StatementTest, PrepareCompilesOnlyTheFirstStatement) {
  const std::u16string two = u"INSERT INTO t(v) VALUES(1); INSERT INTO t(v) VALUES(2);";
  auto statement = db_.Prepare(two);
  EXPECT_EQ(statement->Step(), kStepDone);
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 1);
  db_.Execute(two);
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 3);
}

TEST_F(StatementTest, ConstructedDirectlyRegistersLikePrepare) {
  TSQLite3Statement statement(db_, u"SELECT 42;");
  EXPECT_EQ(statement.OwnerDatabase(), &db_);
  ASSERT_EQ(statement.Step(), kStepRow);
  EXPECT_EQ(statement.ColumnInt(0), 42);
  db_.Close();
  EXPECT_EQ(statement.Handle(), nullptr);
  EXPECT_EQ(RaisedMessage([&] { statement.Reset(); }), kNotConnected);
}

// Every bind, by index and by name, checked through what SQLite stored: its type, its text and its
// size in bytes.
TEST_F(StatementTest, BindsStoreTheirValues) {
  struct Case {
    const char* name;
    std::function<void(TSQLite3Statement&, int)> byIndex;
    std::function<void(TSQLite3Statement&, const std::u16string&)> byName;
    int type;
    std::u16string text;
    int bytes;
  } const cases[] = {
      {"int", [](TSQLite3Statement& s, int i) { s.BindInt(i, -42); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindInt(n, -42); }, kInteger, u"-42",
       3},
      {"int64", [](TSQLite3Statement& s, int i) { s.BindInt64(i, 1099511627776LL); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindInt64(n, 1099511627776LL); },
       kInteger, u"1099511627776", 13},
      {"double", [](TSQLite3Statement& s, int i) { s.BindDouble(i, 2.5); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindDouble(n, 2.5); }, kFloat, u"2.5",
       3},
      {"text", [](TSQLite3Statement& s, int i) { s.BindText(i, u"caf\u00E9"); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindText(n, u"caf\u00E9"); }, kText,
       u"caf\u00E9", 5},
      {"null", [](TSQLite3Statement& s, int i) { s.BindNull(i); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindNull(n); }, kNull, u"", 0},
      {"blob", [](TSQLite3Statement& s, int i) { s.BindBlob(i, "xyz", 3); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindBlob(n, "xyz", 3); }, kBlob,
       u"xyz", 3},
      {"zero blob", [](TSQLite3Statement& s, int i) { s.BindZeroBlob(i, 4); },
       [](TSQLite3Statement& s, const std::u16string& n) { s.BindZeroBlob(n, 4); }, kBlob,
       std::u16string(4, u'\0'), 4},
  };
  auto insert = db_.Prepare(u"INSERT INTO t(id, v) VALUES(?1, ?2);");
  auto named = db_.Prepare(u"INSERT INTO t(id, v) VALUES(:id, @value);");
  auto read = db_.Prepare(u"SELECT v, typeof(v) FROM t WHERE id = ?;");
  int id = 0;
  for (const auto& c : cases) {
    for (bool byName : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byName ? " by name" : " by index"));
      ++id;
      if (byName) {
        named->BindInt(u":id", id);
        c.byName(*named, u"@value");
        ASSERT_EQ(named->StepAndReset(), kStepDone);
      } else {
        insert->BindInt(1, id);
        c.byIndex(*insert, 2);
        ASSERT_EQ(insert->StepAndReset(), kStepDone);
      }
      read->BindInt(1, id);
      ASSERT_EQ(read->Step(), kStepRow);
      EXPECT_EQ(read->ColumnType(0), c.type);
      EXPECT_EQ(read->ColumnText(0), c.text);
      EXPECT_EQ(read->ColumnBytes(0), c.bytes);
      read->Reset();
    }
  }
}

TEST_F(StatementTest, BindTextSendsUTF8WithItsByteLength) {
  struct Case {
    const char* name;
    std::u16string text;
    int bytes;
  } const cases[] = {
      {"empty", u"", 0},
      {"U+00E9", u"\u00E9", 2},
      {"U+20AC", u"\u20AC", 3},
      {"U+1F600", u"\U0001F600", 4},
      {"inner zero", std::u16string(u"a\0b", 3), 3},
  };
  auto statement = db_.Prepare(u"SELECT ?1 IS NULL, typeof(?1), length(CAST(?1 AS BLOB)), ?1;");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    statement->BindText(1, c.text);
    ASSERT_EQ(statement->Step(), kStepRow);
    EXPECT_EQ(statement->ColumnInt(0), 0);  // never NULL, also when empty
    EXPECT_EQ(statement->ColumnText(1), u"text");
    EXPECT_EQ(statement->ColumnInt(2), c.bytes);
    EXPECT_EQ(statement->ColumnText(3), c.text);
    statement->Reset();
  }
}

TEST_F(StatementTest, BindCopiesTheValue) {
  auto statement = db_.Prepare(u"SELECT ?1, ?2;");
  {
    std::u16string text = u"transient";
    char bytes[] = "blob";
    statement->BindText(1, text);
    statement->BindBlob(2, bytes, 4);
    text.assign(u"overwritten");
    std::memset(bytes, 'X', sizeof bytes);
  }
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(statement->ColumnText(0), u"transient");
  ASSERT_EQ(statement->ColumnBytes(1), 4);
  EXPECT_EQ(std::memcmp(statement->ColumnBlob(1), "blob", 4), 0);
}

// A parameter the statement does not have: a name looks up index 0, and SQLite refuses that index
// as it refuses any index out of range. The statement stays usable.
TEST_F(StatementTest, BindToMissingParameterRaisesSQLiteText) {
  auto statement = db_.Prepare(u"SELECT :present;");
  struct Case {
    const char* name;
    std::function<void()> bind;
  } const cases[] = {
      {"unknown name", [&] { statement->BindText(u":absent", u"x"); }},
      {"name without prefix", [&] { statement->BindInt(u"present", 1); }},
      {"unknown name, null", [&] { statement->BindNull(u"$absent"); }},
      {"index 0", [&] { statement->BindDouble(0, 1.0); }},
      {"index past the end", [&] { statement->BindInt64(2, 1); }},
      {"blob past the end", [&] { statement->BindBlob(2, "x", 1); }},
      {"zero blob past the end", [&] { statement->BindZeroBlob(2, 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RaisedMessage(c.bind), u"SQLite3 error: column index out of range");
  }
  statement->BindText(u":present", u"still usable");
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(statement->ColumnText(0), u"still usable");
}

TEST_F(StatementTest, BindOnRunningStatementRaisesMisuse) {
  auto statement = db_.Prepare(u"SELECT ?1 UNION ALL SELECT ?1;");
  statement->BindInt(1, 5);
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(RaisedMessage([&] { statement->BindInt(1, 6); }),
            u"SQLite3 error: bad parameter or other API misuse");
}

TEST_F(StatementTest, ClearBindingsSetsEveryParameterToNull) {
  auto statement = db_.Prepare(u"SELECT ?1, ?2;");
  statement->BindInt(1, 1);
  statement->BindText(2, u"two");
  statement->ClearBindings();
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(statement->ColumnType(0), kNull);
  EXPECT_EQ(statement->ColumnType(1), kNull);
}

TEST_F(StatementTest, ColumnAccessorsHandSQLiteValuesBack) {
  auto statement =
      db_.Prepare(u"SELECT NULL, 42, -5000000000, 0.25, 'caf\u00E9', x'00FF', char(97, 0, 98);");
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(statement->ColumnCount(), 7);

  const int types[] = {kNull, kInteger, kInteger, kFloat, kText, kBlob, kText};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(statement->ColumnType(i), types[i]) << "column " << i;

  EXPECT_EQ(statement->ColumnText(0), u"");  // NULL gives an empty text
  EXPECT_EQ(statement->ColumnBytes(0), 0);
  EXPECT_EQ(statement->ColumnBlob(0), nullptr);
  EXPECT_EQ(statement->ColumnInt(1), 42);
  EXPECT_EQ(statement->ColumnText(1), u"42");  // SQLite's decimal text of an integer
  EXPECT_EQ(statement->ColumnInt64(2), -5000000000LL);
  EXPECT_EQ(statement->ColumnText(2), u"-5000000000");
  EXPECT_EQ(statement->ColumnDouble(3), 0.25);
  EXPECT_EQ(statement->ColumnText(4), u"caf\u00E9");
  EXPECT_EQ(statement->ColumnBytes(4), 5);
  ASSERT_EQ(statement->ColumnBytes(5), 2);
  EXPECT_EQ(std::memcmp(statement->ColumnBlob(5), "\x00\xFF", 2), 0);
  // Decoded with its byte length, so a zero byte inside the text stays.
  EXPECT_EQ(statement->ColumnText(6), std::u16string(u"a\0b", 3));
}

TEST_F(StatementTest, ColumnTextKeepsIllFormedBytes) {
  auto statement = db_.Prepare(u"SELECT CAST(x'61FF62' AS TEXT);");
  ASSERT_EQ(statement->Step(), kStepRow);
  EXPECT_EQ(statement->ColumnText(0),
            u"a\xDCFF"
            u"b");
}

// ---- Values byte for byte -----------------------------------------------------------------------

TSQLite3Value Text(std::string bytes) {
  return {TSQLite3Value::Type::String, 0, 0, std::move(bytes)};
}
TSQLite3Value Blob(std::string bytes) {
  return {TSQLite3Value::Type::Blob, 0, 0, std::move(bytes)};
}
TSQLite3Value Integer(std::int64_t value) { return {TSQLite3Value::Type::Integer, value, 0, {}}; }
// A real with exactly these 64 bits.
TSQLite3Value RealBits(std::uint64_t bits) {
  TSQLite3Value v{TSQLite3Value::Type::Real, 0, 0, {}};
  std::memcpy(&v.real, &bits, sizeof bits);
  return v;
}

std::uint64_t BitsOf(double real) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &real, sizeof bits);
  return bits;
}

// Equal by type and by every byte: reals by their bits, so -0.0 differs from 0.0.
void ExpectSameValue(const TSQLite3Value& actual, const TSQLite3Value& expected) {
  EXPECT_EQ(static_cast<int>(actual.type), static_cast<int>(expected.type));
  EXPECT_EQ(actual.integer, expected.integer);
  EXPECT_EQ(BitsOf(actual.real), BitsOf(expected.real)) << "real " << actual.real;
  EXPECT_EQ(actual.bytes, expected.bytes);
}

// Each value bound into an untyped column (no affinity: SQLite stores what it is given), then read
// back whole, and the stored form checked by SQLite itself: its type, byte count and hex. SQLite
// keeps a real's 64 bits but stores a NaN, whatever its bits, as NULL.
TEST_F(StatementTest, BindAndColumnValueRoundTripByteForByte) {
  const std::uint64_t kNegativeZero = 0x8000000000000000ULL;
  struct Case {
    const char* name;
    TSQLite3Value bound;
    TSQLite3Value stored;
    const char* storedType;  // typeof(v)
    const char* hex;         // hex(v) of a text or blob, "" otherwise
  } const cases[] = {
      {"null", {}, {}, "null", ""},
      {"largest integer", Integer(std::numeric_limits<std::int64_t>::max()),
       Integer(std::numeric_limits<std::int64_t>::max()), "integer", ""},
      {"smallest integer", Integer(std::numeric_limits<std::int64_t>::min()),
       Integer(std::numeric_limits<std::int64_t>::min()), "integer", ""},
      {"real", RealBits(BitsOf(-2.5)), RealBits(BitsOf(-2.5)), "real", ""},
      {"negative zero", RealBits(kNegativeZero), RealBits(kNegativeZero), "real", ""},
      {"smallest subnormal", RealBits(1), RealBits(1), "real", ""},
      {"infinity", RealBits(0x7FF0000000000000ULL), RealBits(0x7FF0000000000000ULL), "real", ""},
      {"quiet NaN", RealBits(0x7FF8000000000000ULL), {}, "null", ""},
      {"NaN with payload", RealBits(0x7FF0000000000001ULL), {}, "null", ""},
      {"negative NaN", RealBits(0xFFF8000000000001ULL), {}, "null", ""},
      {"UTF-8 text", Text("caf\xC3\xA9"), Text("caf\xC3\xA9"), "text", "636166C3A9"},
      {"ill-formed UTF-8", Text("a\xFF\xC3(b"), Text("a\xFF\xC3(b"), "text", "61FFC32862"},
      {"encoded surrogate", Text("\xED\xA0\x80"), Text("\xED\xA0\x80"), "text", "EDA080"},
      // CESU-8's form of a pair: six bytes kept, never joined into one character of four.
      {"encoded surrogate pair", Text("\xED\xA0\xBD\xED\xB8\x80"), Text("\xED\xA0\xBD\xED\xB8\x80"),
       "text", "EDA0BDEDB880"},
      {"zero byte inside", Text(std::string("a\0b", 3)), Text(std::string("a\0b", 3)), "text",
       "610062"},
      {"empty text", Text(""), Text(""), "text", ""},
      {"blob", Blob(std::string("\x00\xFF\x80", 3)), Blob(std::string("\x00\xFF\x80", 3)), "blob",
       "00FF80"},
      {"empty blob", Blob(""), Blob(""), "blob", ""},
  };
  auto insert = db_.Prepare(u"INSERT INTO t(id, v) VALUES(?, ?);");
  auto read =
      db_.Prepare(u"SELECT v, typeof(v), length(CAST(v AS BLOB)), hex(v) FROM t WHERE id=?;");
  int id = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    insert->BindInt64(1, ++id);
    insert->Bind(2, c.bound);
    ASSERT_EQ(insert->StepAndReset(), kStepDone);
    read->BindInt64(1, id);
    ASSERT_EQ(read->Step(), kStepRow);
    ExpectSameValue(read->ColumnValue(0), c.stored);
    ExpectSameValue(read->ColumnValue(1), Text(c.storedType));
    if (c.stored.type == TSQLite3Value::Type::String ||
        c.stored.type == TSQLite3Value::Type::Blob) {
      EXPECT_EQ(read->ColumnInt64(2), static_cast<std::int64_t>(c.stored.bytes.size()));
      ExpectSameValue(read->ColumnValue(3), Text(c.hex));
    }
    read->Reset();
  }
}

// A text in the SQL given as UTF-8 reaches SQLite as those bytes: a literal that is not well-formed
// comes back unchanged, where the UTF-16 form could only state its bytes as lone surrogates.
TEST_F(StatementTest, PrepareFromUTF8SendsTheBytesAsTheyAre) {
  auto literal = db_.Prepare(std::string("SELECT 'a\xFF\xC3(b', x'', 1e999, -0.0;"));
  ASSERT_EQ(literal->Step(), kStepRow);
  ExpectSameValue(literal->ColumnValue(0), Text("a\xFF\xC3(b"));
  ExpectSameValue(literal->ColumnValue(1), Blob(""));
  ExpectSameValue(literal->ColumnValue(2), RealBits(0x7FF0000000000000ULL));
  ExpectSameValue(literal->ColumnValue(3), RealBits(0x8000000000000000ULL));
  ExpectSameValue(literal->ColumnValue(4), {});  // past the last column: NULL
}

TEST_F(StatementTest, BindValueFailureRaisesSQLiteText) {
  auto insert = db_.Prepare(u"INSERT INTO t(v) VALUES(?);");
  EXPECT_EQ(RaisedMessage([&] { insert->Bind(2, Text("x")); }),
            u"SQLite3 error: column index out of range");
}

TEST_F(StatementTest, ColumnNames) {
  auto statement = db_.Prepare(u"SELECT 1 AS first, 2 AS \"caf\u00E9\", v FROM t;");
  EXPECT_EQ(statement->ColumnCount(), 3);
  EXPECT_EQ(statement->ColumnName(0), u"first");
  EXPECT_EQ(statement->ColumnName(1), u"caf\u00E9");
  EXPECT_EQ(statement->ColumnName(2), u"v");
  EXPECT_EQ(statement->ColumnName(3), u"");  // SQLite has no name for it
  EXPECT_EQ(statement->ColumnName(-1), u"");

  auto insert = db_.Prepare(u"INSERT INTO t(v) VALUES(1);");
  EXPECT_EQ(insert->ColumnCount(), 0);
  EXPECT_EQ(insert->ColumnName(0), u"");
}

TEST_F(StatementTest, DetachedStatementRaisesOnEveryOperation) {
  auto statement = db_.Prepare(u"SELECT ?1;");
  db_.Close();
  struct Case {
    const char* name;
    std::function<void(TSQLite3Statement&)> action;
  } const cases[] = {
      {"BindInt", [](TSQLite3Statement& s) { s.BindInt(1, 1); }},
      {"BindInt64", [](TSQLite3Statement& s) { s.BindInt64(1, 1); }},
      {"BindDouble", [](TSQLite3Statement& s) { s.BindDouble(1, 1); }},
      {"BindText", [](TSQLite3Statement& s) { s.BindText(1, u"x"); }},
      {"BindNull", [](TSQLite3Statement& s) { s.BindNull(1); }},
      {"BindBlob", [](TSQLite3Statement& s) { s.BindBlob(1, "x", 1); }},
      {"BindZeroBlob", [](TSQLite3Statement& s) { s.BindZeroBlob(1, 1); }},
      {"BindText by name", [](TSQLite3Statement& s) { s.BindText(u"?1", u"x"); }},
      {"ClearBindings", [](TSQLite3Statement& s) { s.ClearBindings(); }},
      {"Step", [](TSQLite3Statement& s) { s.Step(); }},
      {"Reset", [](TSQLite3Statement& s) { s.Reset(); }},
      {"StepAndReset", [](TSQLite3Statement& s) { s.StepAndReset(); }},
      {"ColumnCount", [](TSQLite3Statement& s) { s.ColumnCount(); }},
      {"ColumnName", [](TSQLite3Statement& s) { s.ColumnName(0); }},
      {"ColumnType", [](TSQLite3Statement& s) { s.ColumnType(0); }},
      {"ColumnInt", [](TSQLite3Statement& s) { s.ColumnInt(0); }},
      {"ColumnInt64", [](TSQLite3Statement& s) { s.ColumnInt64(0); }},
      {"ColumnDouble", [](TSQLite3Statement& s) { s.ColumnDouble(0); }},
      {"ColumnText", [](TSQLite3Statement& s) { s.ColumnText(0); }},
      {"ColumnBlob", [](TSQLite3Statement& s) { s.ColumnBlob(0); }},
      {"ColumnBytes", [](TSQLite3Statement& s) { s.ColumnBytes(0); }},
      {"Bind", [](TSQLite3Statement& s) { s.Bind(1, TSQLite3Value{}); }},
      {"ColumnValue", [](TSQLite3Statement& s) { s.ColumnValue(0); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RaisedMessage([&] { c.action(*statement); }), kNotConnected) << c.name;
  }
  // Reopening the connection does not bring a detached statement back.
  db_.Open(DbPath());
  EXPECT_EQ(RaisedMessage([&] { statement->Step(); }), kNotConnected);
}

}  // namespace
}  // namespace storagetest
