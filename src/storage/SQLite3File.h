// What SQLite knows of a database file beyond its rows, asked through SQLite itself: whether the
// journal beside it is hot, and the file's bytes read through a connection's own file handle.
#pragma once

#include <string>

#include "storage/SQLite3Wrap.h"

struct sqlite3_file;

namespace storage {

// Whether SQLite itself takes the journal beside the database `fileName` for hot (one it would
// roll back: no connection holds the lock under which a transaction writes it). Asked by a
// read-only connection, which SQLite refuses to roll anything back for, so nothing is changed.
// False for a journal that a running transaction is writing, and for no journal at all; raises
// ESQLite3Error when SQLite cannot tell (the file cannot be opened or read, a lock held past the
// busy wait of `waitMs`).
bool JournalIsHot(const std::u16string& fileName, int waitMs);

// The main database file of the open connection `db`, every byte, read through the connection's
// own file handle: under whatever lock the connection holds, with no second handle that could
// drop it (on POSIX, closing any handle of a file drops the process's locks on it) or that
// Windows' sharing could refuse. False (bytes empty) when a read fails or `db` is closed.
bool ReadDatabaseFile(const TSQLite3Database& db, std::string& bytes);

// A shared lock on the main database file of the open connection `db`, taken through the
// connection's own file handle, as SQLite takes it for a read: while it is held no writer can
// write the file (a commit, or the rollback of a hot journal, needs the exclusive lock), so the
// file holds committed pages only, unless a journal that no writer holds is beside it (hot).
// Waits up to `waitMs` while a writer holds the file; raises ESQLite3Error when the lock cannot
// be had. Released when the object goes; `db` must stay open and run no statement meanwhile.
class TSharedFileLock {
 public:
  TSharedFileLock(const TSQLite3Database& db, int waitMs);
  ~TSharedFileLock();
  TSharedFileLock(const TSharedFileLock&) = delete;
  TSharedFileLock& operator=(const TSharedFileLock&) = delete;

  // Whether a transaction of another connection may be writing its journal now: the lock under
  // which SQLite writes one is held. A journal then standing beside the file is that
  // transaction's, not one to roll back. Raises ESQLite3Error when SQLite cannot tell.
  bool WriterActive() const;

 private:
  sqlite3_file* FFile = nullptr;
};

}  // namespace storage
