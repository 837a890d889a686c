// SQLite's own count of the memory it holds, for tests that prove a connection and everything of
// it were released. SQLite is built without memory statistics; the test program turns them on
// before SQLite starts (SQLiteMemory.cpp).
#pragma once

#include <cstdint>

namespace storagetest {

// Bytes that SQLite holds at this moment.
std::int64_t SQLiteMemoryInUse();

}  // namespace storagetest
