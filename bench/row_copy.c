/* The reference for the repair's cost: copies the rows of the preview table of a sound index into
 * a new file with SQLite alone, the way a program that trusts the file would.
 *   row_copy SOURCE DESTINATION   (DESTINATION must not exist)
 * The new file gets hopgate's own CREATE TABLE; the rows are read with one SELECT in ID order and
 * written by one prepared INSERT each, with their IDs, in one transaction, as SQLite's defaults
 * (rollback journal, synchronous FULL) commit it. Prints the number of rows copied. Linked with
 * the project's SQLite (the amalgamation the build compiles). */
#include <stdio.h>

#include "sqlite3.h"

static const char kCreate[] =
    "CREATE TABLE IF NOT EXISTS \"PreviewPNGTable\" (\"ID\" INTEGER PRIMARY KEY NOT NULL , "
    "\"PngMd5FileName\" TEXT, \"SwFullFileName\" TEXT)";

static int fail(sqlite3* db, const char* what) {
  fprintf(stderr, "row_copy: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  return 1;
}

/* Steps `select` to its end, inserting each row through `insert`; the rows copied, -1 on error. */
static long copy_rows(sqlite3_stmt* select, sqlite3_stmt* insert) {
  long rows = 0;
  int code;
  while ((code = sqlite3_step(select)) == SQLITE_ROW) {
    sqlite3_bind_int64(insert, 1, sqlite3_column_int64(select, 0));
    for (int i = 1; i <= 2; ++i) {
      sqlite3_bind_text(insert, i + 1, (const char*)sqlite3_column_text(select, i),
                        sqlite3_column_bytes(select, i), SQLITE_TRANSIENT);
    }
    if (sqlite3_step(insert) != SQLITE_DONE || sqlite3_reset(insert) != SQLITE_OK) return -1;
    ++rows;
  }
  return code == SQLITE_DONE ? rows : -1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: row_copy SOURCE DESTINATION\n");
    return 2;
  }
  sqlite3 *from = NULL, *to = NULL;
  if (sqlite3_open_v2(argv[1], &from, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) {
    return fail(from, argv[1]);
  }
  if (sqlite3_open_v2(argv[2], &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) != SQLITE_OK) {
    return fail(to, argv[2]);
  }
  sqlite3_stmt *select = NULL, *insert = NULL;
  if (sqlite3_exec(to, kCreate, NULL, NULL, NULL) != SQLITE_OK ||
      sqlite3_exec(to, "BEGIN", NULL, NULL, NULL) != SQLITE_OK) {
    return fail(to, argv[2]);
  }
  if (sqlite3_prepare_v2(from,
                         "SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable ORDER BY ID",
                         -1, &select, NULL) != SQLITE_OK) {
    return fail(from, argv[1]);
  }
  if (sqlite3_prepare_v2(to,
                         "INSERT INTO PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) "
                         "VALUES (?1,?2,?3)",
                         -1, &insert, NULL) != SQLITE_OK) {
    return fail(to, argv[2]);
  }
  const long rows = copy_rows(select, insert);
  if (rows < 0) return fail(to, "copying the rows");
  sqlite3_finalize(select);
  sqlite3_finalize(insert);
  if (sqlite3_exec(to, "COMMIT", NULL, NULL, NULL) != SQLITE_OK) return fail(to, argv[2]);
  if (sqlite3_close(to) != SQLITE_OK || sqlite3_close(from) != SQLITE_OK) return 1;
  printf("%ld\n", rows);
  return 0;
}
