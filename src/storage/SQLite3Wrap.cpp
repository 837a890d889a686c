#include "storage/SQLite3Wrap.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "storage/SQLite3Utils.h"

static_assert(storage::kStepRow == SQLITE_ROW && storage::kStepDone == SQLITE_DONE &&
              storage::kStepBusy == SQLITE_BUSY);

namespace storage {

namespace {

const char16_t kNotConnected[] = u"SQLite3 error: database is not connected.";

// Removes `item` from `list`, searching from the end: the object freed is most often the one
// created last.
template <typename T>
void Unlist(std::vector<T*>& list, T* item) {
  const auto found = std::find(list.rbegin(), list.rend(), item);
  if (found != list.rend()) list.erase(std::next(found).base());
}

}  // namespace

// ---- ESQLite3Error ------------------------------------------------------------------------------

ESQLite3Error::ESQLite3Error(std::u16string message)
    : FMessage(std::move(message)), FMessageUTF8(EncodeUTF8(FMessage)) {}

const char* ESQLite3Error::what() const noexcept { return FMessageUTF8.c_str(); }

// ---- TSQLite3Database ---------------------------------------------------------------------------

TSQLite3Database::~TSQLite3Database() {
  try {
    Close();
  } catch (...) {
    // Only the rollback inside Close can fail. SQLite rolls an open transaction back itself when
    // the connection closes, so releasing everything is still right.
    ReleaseConnection();
  }
}

void TSQLite3Database::RaiseOnError(int resultCode) const {
  if (resultCode == SQLITE_OK) return;
  // sqlite3_errmsg also answers for a null handle (open ran out of memory): "out of memory".
  throw ESQLite3Error(u"SQLite3 error: " + DecodeUTF8(sqlite3_errmsg(FHandle), -1));
}

void TSQLite3Database::RequireConnection() const {
  if (FHandle == nullptr) throw ESQLite3Error(kNotConnected);
}

void TSQLite3Database::Open(const std::u16string& fileName) {
  OpenWithFlags(fileName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

void TSQLite3Database::OpenExisting(const std::u16string& fileName, TOpenMode mode) {
  OpenWithFlags(fileName,
                mode == TOpenMode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
}

void TSQLite3Database::OpenWithFlags(const std::u16string& fileName, int flags) {
  Close();
  const std::string name = EncodeUTF8(fileName);
  // Even when the open fails SQLite normally hands back a handle (holding the error text); it is
  // kept so that RaiseOnError can read the text, and the next Close releases it.
  RaiseOnError(sqlite3_open_v2(name.c_str(), &FHandle, flags, nullptr));
  if (!FPassword.empty()) {
    const std::string key = EncodeUTF8(FPassword);
    sqlite3_key(FHandle, key.data(), static_cast<int>(key.size()));
  }
  if (FBusyTimeout > 0) sqlite3_busy_timeout(FHandle, FBusyTimeout);
}

void TSQLite3Database::Close() {
  if (FHandle == nullptr) return;
  if (FTransactionOpen) Rollback();  // when this raises, everything stays as it was
  ReleaseConnection();
}

void TSQLite3Database::ReleaseConnection() noexcept {
  while (!FStatementList.empty()) {
    TSQLite3Statement* statement = FStatementList.back();
    FStatementList.pop_back();
    statement->Detach();
  }
  while (!FBlobHandlerList.empty()) {
    TSQLite3BlobHandler* blob = FBlobHandlerList.back();
    FBlobHandlerList.pop_back();
    blob->Detach();
  }
  // With every statement finalized and every blob closed nothing keeps the connection busy, so
  // sqlite3_close releases it (and rolls back whatever transaction is still open).
  sqlite3_close(FHandle);
  FHandle = nullptr;
  FTransactionOpen = false;
}

void TSQLite3Database::Execute(const std::u16string& sql) {
  RequireConnection();
  const std::string text = EncodeUTF8(sql);
  RaiseOnError(sqlite3_exec(FHandle, text.c_str(), nullptr, nullptr, nullptr));
}

std::int64_t TSQLite3Database::LastInsertRowID() {
  RequireConnection();
  return sqlite3_last_insert_rowid(FHandle);
}

std::unique_ptr<TSQLite3Statement> TSQLite3Database::Prepare(const std::u16string& sql) {
  return std::make_unique<TSQLite3Statement>(*this, sql);
}

std::unique_ptr<TSQLite3Statement> TSQLite3Database::Prepare(const std::string& sqlUTF8) {
  return std::make_unique<TSQLite3Statement>(*this, sqlUTF8);
}

std::unique_ptr<TSQLite3BlobHandler> TSQLite3Database::BlobOpen(const std::u16string& table,
                                                                const std::u16string& column,
                                                                std::int64_t rowID,
                                                                bool writeAccess) {
  return std::make_unique<TSQLite3BlobHandler>(*this, table, column, rowID, writeAccess);
}

void TSQLite3Database::BeginTransaction(TTransactionMode mode) {
  if (FTransactionOpen) throw ESQLite3Error(u"Transaction is already opened.");
  Execute(mode == TTransactionMode::Immediate ? u"BEGIN IMMEDIATE TRANSACTION;"
                                              : u"BEGIN TRANSACTION;");
  FTransactionOpen = true;
}

void TSQLite3Database::Commit() {
  if (!FTransactionOpen) throw ESQLite3Error(u"No transaction is open");
  Execute(u"COMMIT;");
  FTransactionOpen = false;
}

void TSQLite3Database::Rollback() {
  if (!FTransactionOpen) throw ESQLite3Error(u"No transaction is open");
  Execute(u"ROLLBACK;");
  FTransactionOpen = false;
}

void TSQLite3Database::SetPassword(const std::u16string& key) { FPassword = key; }

void TSQLite3Database::ChangePassword(const std::u16string& key) {
  // sqlite3_rekey has no use for a null handle; check first so that nothing changes then.
  RequireConnection();
  FPassword = key;
  const std::string bytes = EncodeUTF8(FPassword);
  sqlite3_rekey(FHandle, bytes.data(), static_cast<int>(bytes.size()));
}

bool TSQLite3Database::DeletePassword() {
  RequireConnection();
  sqlite3_rekey(FHandle, "", 0);
  // The file is plain now; keying the next Open with the old password would make it unreadable.
  FPassword.clear();
  return true;
}

void TSQLite3Database::SetBusyTimeout(int milliseconds) {
  FBusyTimeout = std::max(milliseconds, 0);
  // A time-out of 0 removes SQLite's busy handler again.
  if (FHandle != nullptr) sqlite3_busy_timeout(FHandle, FBusyTimeout);
}

int TSQLite3Database::LastResultCode() const noexcept {
  return FHandle == nullptr ? SQLITE_CANTOPEN : sqlite3_errcode(FHandle);
}

int TSQLite3Database::SystemErrorCode() const noexcept {
  if (FHandle == nullptr) return 0;
  const int primary = sqlite3_errcode(FHandle) & 0xff;
  if (primary != SQLITE_IOERR && primary != SQLITE_FULL && primary != SQLITE_CANTOPEN) return 0;
  return sqlite3_system_errno(FHandle);
}

// ---- TSQLite3Statement --------------------------------------------------------------------------

TSQLite3Statement::TSQLite3Statement(TSQLite3Database& ownerDatabase, const std::u16string& sql)
    : TSQLite3Statement(ownerDatabase, EncodeUTF8(sql)) {}

TSQLite3Statement::TSQLite3Statement(TSQLite3Database& ownerDatabase, const std::string& sqlUTF8)
    : FOwnerDatabase(&ownerDatabase) {
  ownerDatabase.RequireConnection();
  // Length -1: SQLite reads up to the terminating zero and compiles only the first statement.
  const int rc = sqlite3_prepare_v2(ownerDatabase.FHandle, sqlUTF8.c_str(), -1, &FHandle, nullptr);
  // A failing prepare leaves the handle null; the constructor raises before registering, so the
  // caller gets no object and nothing stays listed.
  ownerDatabase.RaiseOnError(rc);
  try {
    ownerDatabase.FStatementList.push_back(this);
  } catch (...) {
    sqlite3_finalize(FHandle);  // no destructor runs for a constructor that throws
    throw;
  }
}

TSQLite3Statement::~TSQLite3Statement() {
  if (FOwnerDatabase != nullptr) Unlist(FOwnerDatabase->FStatementList, this);
  sqlite3_finalize(FHandle);
}

void TSQLite3Statement::Detach() noexcept {
  sqlite3_finalize(FHandle);
  FHandle = nullptr;
  FOwnerDatabase = nullptr;
}

void TSQLite3Statement::RequireHandle() const {
  if (FHandle == nullptr) throw ESQLite3Error(kNotConnected);
}

int TSQLite3Statement::LookupParamIndex(const std::u16string& paramName) {
  RequireHandle();
  const std::string name = EncodeUTF8(paramName);
  return sqlite3_bind_parameter_index(FHandle, name.c_str());
}

void TSQLite3Statement::BindInt(int paramIndex, int value) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_bind_int(FHandle, paramIndex, value));
}

void TSQLite3Statement::BindInt64(int paramIndex, std::int64_t value) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_bind_int64(FHandle, paramIndex, value));
}

void TSQLite3Statement::BindDouble(int paramIndex, double value) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_bind_double(FHandle, paramIndex, value));
}

void TSQLite3Statement::BindText(int paramIndex, const std::u16string& value) {
  RequireHandle();
  const std::string text = EncodeUTF8(value);
  // c_str() is never null, so an empty text binds an empty text, not NULL. SQLITE_TRANSIENT makes
  // SQLite copy the bytes before `text` goes away.
  FOwnerDatabase->RaiseOnError(sqlite3_bind_text(FHandle, paramIndex, text.c_str(),
                                                 static_cast<int>(text.size()), SQLITE_TRANSIENT));
}

void TSQLite3Statement::BindNull(int paramIndex) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_bind_null(FHandle, paramIndex));
}

void TSQLite3Statement::BindBlob(int paramIndex, const void* data, int size) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(
      sqlite3_bind_blob(FHandle, paramIndex, data, size, SQLITE_TRANSIENT));
}

void TSQLite3Statement::BindZeroBlob(int paramIndex, int size) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_bind_zeroblob(FHandle, paramIndex, size));
}

void TSQLite3Statement::Bind(int paramIndex, const TSQLite3Value& value) {
  RequireHandle();
  const auto size = static_cast<int>(value.bytes.size());
  int code = SQLITE_OK;
  switch (value.type) {
    case TSQLite3Value::Type::Null:
      code = sqlite3_bind_null(FHandle, paramIndex);
      break;
    case TSQLite3Value::Type::Integer:
      code = sqlite3_bind_int64(FHandle, paramIndex, value.integer);
      break;
    case TSQLite3Value::Type::Real:
      code = sqlite3_bind_double(FHandle, paramIndex, value.real);
      break;
    // data() is never null, so an empty text or blob binds as such, not as NULL.
    case TSQLite3Value::Type::String:
      code = sqlite3_bind_text(FHandle, paramIndex, value.bytes.data(), size, SQLITE_TRANSIENT);
      break;
    case TSQLite3Value::Type::Blob:
      code = sqlite3_bind_blob(FHandle, paramIndex, value.bytes.data(), size, SQLITE_TRANSIENT);
      break;
  }
  FOwnerDatabase->RaiseOnError(code);
}

void TSQLite3Statement::BindInt(const std::u16string& paramName, int value) {
  BindInt(LookupParamIndex(paramName), value);
}

void TSQLite3Statement::BindInt64(const std::u16string& paramName, std::int64_t value) {
  BindInt64(LookupParamIndex(paramName), value);
}

void TSQLite3Statement::BindDouble(const std::u16string& paramName, double value) {
  BindDouble(LookupParamIndex(paramName), value);
}

void TSQLite3Statement::BindText(const std::u16string& paramName, const std::u16string& value) {
  BindText(LookupParamIndex(paramName), value);
}

void TSQLite3Statement::BindNull(const std::u16string& paramName) {
  BindNull(LookupParamIndex(paramName));
}

void TSQLite3Statement::BindBlob(const std::u16string& paramName, const void* data, int size) {
  BindBlob(LookupParamIndex(paramName), data, size);
}

void TSQLite3Statement::BindZeroBlob(const std::u16string& paramName, int size) {
  BindZeroBlob(LookupParamIndex(paramName), size);
}

void TSQLite3Statement::ClearBindings() {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_clear_bindings(FHandle));
}

int TSQLite3Statement::Step() {
  RequireHandle();
  return sqlite3_step(FHandle);
}

void TSQLite3Statement::Reset() {
  RequireHandle();
  sqlite3_reset(FHandle);
}

int TSQLite3Statement::StepAndReset() {
  const int code = Step();
  Reset();
  return code;
}

int TSQLite3Statement::ColumnCount() {
  RequireHandle();
  return sqlite3_column_count(FHandle);
}

std::u16string TSQLite3Statement::ColumnName(int columnIndex) {
  RequireHandle();
  return DecodeUTF8(sqlite3_column_name(FHandle, columnIndex), -1);
}

int TSQLite3Statement::ColumnType(int columnIndex) {
  RequireHandle();
  return sqlite3_column_type(FHandle, columnIndex);
}

int TSQLite3Statement::ColumnInt(int columnIndex) {
  RequireHandle();
  return sqlite3_column_int(FHandle, columnIndex);
}

std::int64_t TSQLite3Statement::ColumnInt64(int columnIndex) {
  RequireHandle();
  return sqlite3_column_int64(FHandle, columnIndex);
}

double TSQLite3Statement::ColumnDouble(int columnIndex) {
  RequireHandle();
  return sqlite3_column_double(FHandle, columnIndex);
}

std::u16string TSQLite3Statement::ColumnText(int columnIndex) {
  RequireHandle();
  // The text first, then its length: asking for the text may convert the value, and the byte
  // count must describe the converted form.
  const unsigned char* text = sqlite3_column_text(FHandle, columnIndex);
  return DecodeUTF8(text, sqlite3_column_bytes(FHandle, columnIndex));
}

const void* TSQLite3Statement::ColumnBlob(int columnIndex) {
  RequireHandle();
  return sqlite3_column_blob(FHandle, columnIndex);
}

int TSQLite3Statement::ColumnBytes(int columnIndex) {
  RequireHandle();
  return sqlite3_column_bytes(FHandle, columnIndex);
}

TSQLite3Value TSQLite3Statement::ColumnValue(int columnIndex) {
  RequireHandle();
  TSQLite3Value value;
  switch (sqlite3_column_type(FHandle, columnIndex)) {
    case SQLITE_INTEGER:
      value.type = TSQLite3Value::Type::Integer;
      value.integer = sqlite3_column_int64(FHandle, columnIndex);
      break;
    case SQLITE_FLOAT:
      value.type = TSQLite3Value::Type::Real;
      value.real = sqlite3_column_double(FHandle, columnIndex);
      break;
    case SQLITE_TEXT: {
      value.type = TSQLite3Value::Type::String;
      // The bytes first, then their count (see ColumnText); in a UTF-8 database neither converts.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FHandle, columnIndex));
      const int size = sqlite3_column_bytes(FHandle, columnIndex);
      if (text != nullptr) value.bytes.assign(text, static_cast<std::size_t>(size));
      break;
    }
    case SQLITE_BLOB: {
      value.type = TSQLite3Value::Type::Blob;
      // An empty blob comes back as a null pointer with no bytes.
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(FHandle, columnIndex));
      const int size = sqlite3_column_bytes(FHandle, columnIndex);
      if (size > 0) value.bytes.assign(blob, static_cast<std::size_t>(size));
      break;
    }
    default:
      break;
  }
  return value;
}

// ---- TSQLite3BlobHandler ------------------------------------------------------------------------

TSQLite3BlobHandler::TSQLite3BlobHandler(TSQLite3Database& ownerDatabase,
                                         const std::u16string& table, const std::u16string& column,
                                         std::int64_t rowID, bool writeAccess)
    : FOwnerDatabase(&ownerDatabase) {
  ownerDatabase.RequireConnection();
  const std::string tableName = EncodeUTF8(table);
  const std::string columnName = EncodeUTF8(column);
  const int rc = sqlite3_blob_open(ownerDatabase.FHandle, "main", tableName.c_str(),
                                   columnName.c_str(), rowID, writeAccess ? 1 : 0, &FHandle);
  // A failing open leaves the handle null (see sqlite3_blob_open); raise before registering.
  ownerDatabase.RaiseOnError(rc);
  try {
    ownerDatabase.FBlobHandlerList.push_back(this);
  } catch (...) {
    sqlite3_blob_close(FHandle);  // no destructor runs for a constructor that throws
    throw;
  }
}

TSQLite3BlobHandler::~TSQLite3BlobHandler() {
  if (FOwnerDatabase != nullptr) Unlist(FOwnerDatabase->FBlobHandlerList, this);
  sqlite3_blob_close(FHandle);
}

void TSQLite3BlobHandler::Detach() noexcept {
  sqlite3_blob_close(FHandle);
  FHandle = nullptr;
  FOwnerDatabase = nullptr;
}

void TSQLite3BlobHandler::RequireHandle() const {
  if (FHandle == nullptr) throw ESQLite3Error(kNotConnected);
}

int TSQLite3BlobHandler::Bytes() {
  RequireHandle();
  return sqlite3_blob_bytes(FHandle);
}

void TSQLite3BlobHandler::Read(void* buffer, int size, int offset) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_blob_read(FHandle, buffer, size, offset));
}

void TSQLite3BlobHandler::Write(const void* buffer, int size, int offset) {
  RequireHandle();
  FOwnerDatabase->RaiseOnError(sqlite3_blob_write(FHandle, buffer, size, offset));
}

std::u16string ResultCodeText(int resultCode) { return DecodeUTF8(sqlite3_errstr(resultCode), -1); }

bool ResultCodeIsDamage(int resultCode) {
  // The low byte is the primary code of an extended one.
  const int primary = resultCode & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace storage
