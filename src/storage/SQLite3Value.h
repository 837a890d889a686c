// One value of SQLite's, byte for byte: the type SQLite gives it and its content as SQLite holds
// it. Plain data, with no tie to SQLite itself, so that code that reads a database file without
// SQLite can hand over what it found in the same form as a statement does.
#pragma once

#include <cstdint>
#include <string>

namespace storage {

struct TSQLite3Value {
  // SQLite's five storage classes (String is SQLite's TEXT).
  enum class Type { Null, Integer, Real, String, Blob } type = Type::Null;
  std::int64_t integer = 0;  // Integer
  double real = 0;           // Real, all 64 bits as SQLite holds them
  // String: the text's bytes exactly as stored (well-formed UTF-8 or not, zero bytes included);
  // Blob: the blob's bytes (empty for an empty blob, which is still a blob, not NULL).
  std::string bytes;
};

}  // namespace storage
