#include "storage/SQLite3File.h"

#include <sqlite3.h>

#include <chrono>
#include <new>
#include <thread>

namespace storage {

bool JournalIsHot(const std::u16string& fileName, int waitMs) {
  TSQLite3Database db;
  db.SetBusyTimeout(waitMs);
  db.OpenExisting(fileName, TSQLite3Database::TOpenMode::ReadOnly);
  try {
    db.Prepare(u"SELECT count(*) FROM sqlite_master")->Step();
  } catch (const ESQLite3Error&) {
    const int code = sqlite3_extended_errcode(db.Handle());
    if (code == SQLITE_READONLY_ROLLBACK) return true;
    // SQLite tests the journal before it reads a page: damage found after that says "not hot".
    if ((code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB) return false;
    throw;
  }
  return false;
}

namespace {

// The main database file of `db` as SQLite's VFS holds it open; nothing when `db` is closed.
sqlite3_file* MainFile(const TSQLite3Database& db) {
  sqlite3_file* file = nullptr;
  if (db.Handle() == nullptr ||
      sqlite3_file_control(db.Handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr) {
    return nullptr;
  }
  return file;
}

[[noreturn]] void RaiseCode(int code) {
  const char* text = sqlite3_errstr(code);
  std::u16string message;
  for (const char* c = text; *c != 0; ++c) message += static_cast<char16_t>(*c);
  throw ESQLite3Error(message);
}

}  // namespace

TSharedFileLock::TSharedFileLock(const TSQLite3Database& db, int waitMs) {
  sqlite3_file* file = MainFile(db);
  if (file == nullptr) RaiseCode(SQLITE_MISUSE);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  int code;
  while ((code = file->pMethods->xLock(file, SQLITE_LOCK_SHARED)) == SQLITE_BUSY &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (code != SQLITE_OK) RaiseCode(code);
  FFile = file;
}

TSharedFileLock::~TSharedFileLock() { FFile->pMethods->xUnlock(FFile, SQLITE_LOCK_NONE); }

bool TSharedFileLock::WriterActive() const {
  int reserved = 0;
  const int code = FFile->pMethods->xCheckReservedLock(FFile, &reserved);
  if (code != SQLITE_OK) RaiseCode(code);
  return reserved != 0;
}

bool ReadDatabaseFile(const TSQLite3Database& db, std::string& bytes) {
  bytes.clear();
  sqlite3_file* file = MainFile(db);
  if (file == nullptr) return false;
  sqlite3_int64 size = 0;
  if (file->pMethods->xFileSize(file, &size) != SQLITE_OK || size < 0) return false;
  try {
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  constexpr sqlite3_int64 kChunk = 1 << 20;
  for (sqlite3_int64 at = 0; at < size; at += kChunk) {
    const int n = static_cast<int>(size - at < kChunk ? size - at : kChunk);
    if (file->pMethods->xRead(file, bytes.data() + at, n, at) != SQLITE_OK) {
      bytes.clear();
      return false;
    }
  }
  return true;
}

}  // namespace storage
