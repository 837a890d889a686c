// A thin object layer over SQLite 3: a connection, its prepared statements and incremental blobs,
// and one exception class.
//
// What the layer adds to the C interface:
//  - every failing result of a tested SQLite call becomes an ESQLite3Error whose message is
//    "SQLite3 error: " followed by SQLite's own error text for the connection;
//  - texts cross the boundary as UTF-16 (std::u16string) and are converted to and from SQLite's
//    UTF-8 at each call (SQLite3Utils.h);
//  - statements and blob handlers are tied to their connection: each registers when created and
//    leaves the registry when destroyed, and closing the connection finalizes whatever is still
//    registered;
//  - the connection keeps a transaction flag, a password and a busy time-out.
//
// Ownership: Prepare and BlobOpen hand the caller a std::unique_ptr; the connection only lists
// non-owning pointers. When the connection closes (Close, a new Open, its destructor) before the
// caller has freed a statement or blob handler, that object is finalized and detached: it stays
// with its owner, its Handle() becomes null, and every later operation on it raises
// "SQLite3 error: database is not connected."; its destructor then only releases the object.
//
// Destructors never throw. None of the classes can be copied or moved (the registry points at
// them). A connection and its statements and blob handlers are used by one thread at a time.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "storage/SQLite3Value.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_blob;

namespace storage {

using PSQLite3 = sqlite3*;
using PSQLite3Stmt = sqlite3_stmt*;
using PSQLite3Blob = sqlite3_blob*;

// The results of TSQLite3Statement::Step by name: SQLite's own codes (SQLITE_ROW, SQLITE_DONE,
// SQLITE_BUSY), declared here so that no caller needs sqlite3.h; SQLite3Wrap.cpp checks them
// against it.
inline constexpr int kStepRow = 100;   // a row is ready
inline constexpr int kStepDone = 101;  // the statement has finished
inline constexpr int kStepBusy = 5;    // another connection's lock is in the way
inline constexpr int kStepLocked = 6;  // a lock within the same connection or shared cache

// SQLite's own English text for a result code such as Step's (sqlite3_errstr), e.g. "database is
// locked" for kStepBusy, for messages that say why a step failed.
std::u16string ResultCodeText(int resultCode);

// True when the result code (primary or extended, such as Step's or LastResultCode's) says that
// the file itself is damaged: SQLITE_CORRUPT or SQLITE_NOTADB. Any other failure (a lock, a failed
// read, a file that cannot be opened) says nothing about the file's content.
bool ResultCodeIsDamage(int resultCode);

class TSQLite3Statement;
class TSQLite3BlobHandler;

// The layer's one exception. It carries its message only (never SQLite's result code), kept as
// UTF-16; what() gives the same message in UTF-8.
class ESQLite3Error : public std::exception {
 public:
  explicit ESQLite3Error(std::u16string message);

  const std::u16string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override;

 private:
  std::u16string FMessage;
  std::string FMessageUTF8;
};

class TSQLite3Database {
 public:
  // A closed connection: no handle, nothing listed, no transaction, no password, no busy time-out.
  // Opens nothing.
  TSQLite3Database() = default;
  // Closes. When the rollback inside Close fails, the statements, blob handlers and the connection
  // are released all the same; nothing escapes.
  virtual ~TSQLite3Database();

  TSQLite3Database(const TSQLite3Database&) = delete;
  TSQLite3Database& operator=(const TSQLite3Database&) = delete;

  // Closes first (as Close), then opens `fileName` for reading and writing, creating the file when
  // it is missing. On failure the handle that SQLite still hands back is kept (the next Close
  // releases it) and ESQLite3Error is raised. When a password is set, the new connection is keyed
  // with it (the result of that is not examined); when a busy time-out is set, it is applied.
  void Open(const std::u16string& fileName);

  // How OpenExisting opens a file.
  enum class TOpenMode { ReadOnly, ReadWrite };

  // As Open, but for an existing file only: a missing file raises and nothing is created. ReadOnly
  // opens with SQLITE_OPEN_READONLY, so the connection writes nothing, no journal included.
  void OpenExisting(const std::u16string& fileName, TOpenMode mode);

  // Nothing when closed. Otherwise: rolls back an open transaction (when that fails, Close raises
  // and changes nothing else), finalizes and detaches every listed statement (last first), then
  // every listed blob handler (last first), and closes the connection. The password stays.
  void Close();

  // Runs every SQL statement of the text in turn (sqlite3_exec without callback).
  void Execute(const std::u16string& sql);

  std::int64_t LastInsertRowID();

  // Compiles the first SQL statement of the text; the rest is ignored. Raises and returns nothing
  // on failure.
  std::unique_ptr<TSQLite3Statement> Prepare(const std::u16string& sql);
  // The same for a text given as SQLite's UTF-8, whose bytes are sent as they are (a zero byte
  // inside ends the text for SQLite).
  std::unique_ptr<TSQLite3Statement> Prepare(const std::string& sqlUTF8);

  // Opens the blob in table.column of the row `rowID` of the database "main".
  std::unique_ptr<TSQLite3BlobHandler> BlobOpen(const std::u16string& table,
                                                const std::u16string& column, std::int64_t rowID,
                                                bool writeAccess);

  // How BeginTransaction starts a transaction. Deferred takes no lock until the first statement
  // needs one. Immediate takes the write lock at once (waiting as the busy time-out allows): a
  // transaction that reads before it writes needs it, since SQLite cannot wait for the write lock
  // of a transaction that already reads (it reports busy at once, another writer being in the way).
  enum class TTransactionMode { Deferred, Immediate };

  // "BEGIN TRANSACTION;" (Deferred) or "BEGIN IMMEDIATE TRANSACTION;", "COMMIT;", "ROLLBACK;". The
  // flag changes only when the SQL succeeded. BeginTransaction with a transaction open raises
  // "Transaction is already opened."; Commit and Rollback without one raise "No transaction is
  // open". Neither sends anything then.
  void BeginTransaction(TTransactionMode mode = TTransactionMode::Deferred);
  void Commit();
  void Rollback();

  // The password that Open keys each new connection with (sent to SQLite as UTF-8 with its length
  // in bytes); empty means none. SetPassword only records it.
  const std::u16string& GetPassword() const noexcept { return FPassword; }
  void SetPassword(const std::u16string& key);
  // Re-encrypts the open database with `key` (sqlite3_rekey, result not examined) and records it.
  // On a closed connection raises "SQLite3 error: database is not connected." and changes nothing.
  void ChangePassword(const std::u16string& key);
  // Removes the encryption of the open database (sqlite3_rekey with an empty key, result not
  // examined) and empties the recorded password, so the next Open reads the now plain file.
  // Returns true. On a closed connection raises as ChangePassword does.
  bool DeletePassword();

  // How long a call waits for another connection's lock before SQLite reports busy, in
  // milliseconds; 0 (the default) or less means no waiting at all. Applied at once to an open
  // connection and remembered for every later Open.
  void SetBusyTimeout(int milliseconds);
  int GetBusyTimeout() const noexcept { return FBusyTimeout; }

  // SQLite's result code for the connection's latest call (sqlite3_errcode), for a caller that
  // must tell why an operation raised (ResultCodeIsDamage); asked right after the failure, since
  // after a call that succeeded SQLite leaves it undefined. A closed connection, or one whose open
  // could not even make a handle, has nothing open: its code is SQLITE_CANTOPEN's.
  int LastResultCode() const noexcept;
  // The system's error code (errno, or Windows' GetLastError) of the file-system call that made
  // the latest failure (LastResultCode: SQLITE_IOERR, SQLITE_FULL or SQLITE_CANTOPEN) fail
  // (sqlite3_system_errno), for a message that says why SQLite could not read or write: 0 when
  // that failure was not a file-system call's, or the connection is closed.
  int SystemErrorCode() const noexcept;

  PSQLite3 Handle() const noexcept { return FHandle; }
  // A connection is open (Open or OpenExisting made a handle, and no Close since).
  bool IsOpen() const noexcept { return FHandle != nullptr; }
  bool TransactionOpen() const noexcept { return FTransactionOpen; }

 private:
  friend class TSQLite3Statement;
  friend class TSQLite3BlobHandler;

  // Open and OpenExisting: sqlite3_open_v2 with these flags, then the password and busy time-out.
  void OpenWithFlags(const std::u16string& fileName, int flags);
  // Returns on 0; otherwise raises "SQLite3 error: " + the connection's current error text.
  void RaiseOnError(int resultCode) const;
  // Raises "SQLite3 error: database is not connected." when closed.
  void RequireConnection() const;
  // Steps 3 to 6 of Close: detaches everything listed and closes the handle. Never throws.
  void ReleaseConnection() noexcept;

  PSQLite3 FHandle = nullptr;
  std::vector<TSQLite3Statement*> FStatementList;
  std::vector<TSQLite3BlobHandler*> FBlobHandlerList;
  bool FTransactionOpen = false;
  std::u16string FPassword;
  int FBusyTimeout = 0;
};

// A prepared statement. Column indexes count from 0, parameter indexes from 1. Parameter names are
// given with their prefix character (":name", "@name", "$name"); a name the statement does not
// have looks up index 0, so its bind fails and raises with SQLite's text.
class TSQLite3Statement {
 public:
  // Compiles the first SQL statement of `sql` on `ownerDatabase` and registers with it. Raises
  // "SQLite3 error: database is not connected." when the connection is closed, and SQLite's error
  // when the text does not compile; nothing stays registered then.
  TSQLite3Statement(TSQLite3Database& ownerDatabase, const std::u16string& sql);
  // The same for a text given as SQLite's UTF-8, sent as it is.
  TSQLite3Statement(TSQLite3Database& ownerDatabase, const std::string& sqlUTF8);
  // Leaves the owner's list and finalizes.
  virtual ~TSQLite3Statement();

  TSQLite3Statement(const TSQLite3Statement&) = delete;
  TSQLite3Statement& operator=(const TSQLite3Statement&) = delete;

  // Every operation below raises "SQLite3 error: database is not connected." once the owner's
  // Close has detached the statement. The binds and ClearBindings raise SQLite's error on failure;
  // the statement stays usable.
  void BindInt(int paramIndex, int value);
  void BindInt64(int paramIndex, std::int64_t value);
  void BindDouble(int paramIndex, double value);
  // An empty text binds an empty text value, not NULL.
  void BindText(int paramIndex, const std::u16string& value);
  void BindNull(int paramIndex);
  // SQLite copies the bytes.
  void BindBlob(int paramIndex, const void* data, int size);
  void BindZeroBlob(int paramIndex, int size);
  // Binds the value as it is: a text's bytes unconverted (for a database in UTF-8, SQLite's
  // default, they are stored exactly, well-formed or not), a blob's bytes (an empty blob as an
  // empty blob), a real's 64 bits. SQLite itself binds a NaN as NULL.
  void Bind(int paramIndex, const TSQLite3Value& value);

  void BindInt(const std::u16string& paramName, int value);
  void BindInt64(const std::u16string& paramName, std::int64_t value);
  void BindDouble(const std::u16string& paramName, double value);
  void BindText(const std::u16string& paramName, const std::u16string& value);
  void BindNull(const std::u16string& paramName);
  void BindBlob(const std::u16string& paramName, const void* data, int size);
  void BindZeroBlob(const std::u16string& paramName, int size);

  void ClearBindings();

  // SQLite's code unchanged: kStepRow, kStepDone, or an error code (kStepBusy when another
  // connection's lock is in the way). A SQLite failure never raises here.
  int Step();
  // sqlite3_reset; its result is not examined.
  void Reset();
  // Step, then Reset; the code of the Step.
  int StepAndReset();

  // The column accessors hand SQLite's values back unchanged.
  int ColumnCount();
  // Empty when SQLite has no name for the index.
  std::u16string ColumnName(int columnIndex);
  int ColumnType(int columnIndex);
  int ColumnInt(int columnIndex);
  std::int64_t ColumnInt64(int columnIndex);
  double ColumnDouble(int columnIndex);
  // Decoded with the column's byte length; empty for NULL.
  std::u16string ColumnText(int columnIndex);
  // Memory owned by SQLite, valid until the next step, reset or finalize.
  const void* ColumnBlob(int columnIndex);
  int ColumnBytes(int columnIndex);
  // The column's value as SQLite holds it: its type, and a text's bytes as stored (never converted
  // through UTF-16), a blob's bytes, a real's 64 bits. A column index out of range reads as NULL.
  TSQLite3Value ColumnValue(int columnIndex);

  // Null once detached.
  PSQLite3Stmt Handle() const noexcept { return FHandle; }
  TSQLite3Database* OwnerDatabase() const noexcept { return FOwnerDatabase; }

 private:
  friend class TSQLite3Database;

  // Finalizes and forgets the owner; called by the owner's Close.
  void Detach() noexcept;
  // Raises "SQLite3 error: database is not connected." when detached.
  void RequireHandle() const;
  int LookupParamIndex(const std::u16string& paramName);

  PSQLite3Stmt FHandle = nullptr;
  TSQLite3Database* FOwnerDatabase = nullptr;
};

// An open blob (incremental blob I/O).
class TSQLite3BlobHandler {
 public:
  // Opens table.column of row `rowID` in the database "main", for writing when `writeAccess`.
  // Raises as the statement's constructor does; nothing stays registered then.
  TSQLite3BlobHandler(TSQLite3Database& ownerDatabase, const std::u16string& table,
                      const std::u16string& column, std::int64_t rowID, bool writeAccess);
  // Leaves the owner's list and closes the blob.
  virtual ~TSQLite3BlobHandler();

  TSQLite3BlobHandler(const TSQLite3BlobHandler&) = delete;
  TSQLite3BlobHandler& operator=(const TSQLite3BlobHandler&) = delete;

  // Each raises "SQLite3 error: database is not connected." once detached; Read and Write raise
  // SQLite's error on failure and leave the handler usable.
  int Bytes();
  void Read(void* buffer, int size, int offset);
  void Write(const void* buffer, int size, int offset);

  // Null once detached.
  PSQLite3Blob Handle() const noexcept { return FHandle; }
  TSQLite3Database* OwnerDatabase() const noexcept { return FOwnerDatabase; }

 private:
  friend class TSQLite3Database;

  void Detach() noexcept;
  void RequireHandle() const;

  PSQLite3Blob FHandle = nullptr;
  TSQLite3Database* FOwnerDatabase = nullptr;
};

}  // namespace storage
