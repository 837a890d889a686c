// What SQLite knows of a database file beyond its rows, asked through SQLite itself: whether the
// journal beside it is hot, and the file's bytes read through a connection's own file handle.
#pragma once

#include <string>

#include "storage/SQLite3Wrap.h"

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

}  // namespace storage
