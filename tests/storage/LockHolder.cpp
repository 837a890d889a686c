// Helper program of the busy tests: holds the write lock of "busy.sqlite" in its working folder
// from another process, the way a second run of the program would.
//  1. opens "busy.sqlite", begins an immediate transaction and inserts the row 'helper';
//  2. creates "held.flag" to say that the lock is held;
//  3. waits until "probed.flag" appears (at most 60 s), then keeps the lock 300 ms longer, so that
//     the test's waiting call has begun;
//  4. commits and exits with 0 (2 when the wait of step 3 ran out, 1 on a storage error).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "storage/SQLite3Wrap.h"

int main() {
  using namespace std::chrono_literals;
  try {
    storage::TSQLite3Database db;
    // The test's waiting connection takes a shared lock for a moment each time it tries for the
    // write lock; the commit waits for that to go instead of failing.
    db.SetBusyTimeout(60000);
    db.Open(u"busy.sqlite");
    db.Execute(u"BEGIN IMMEDIATE; INSERT INTO t(v) VALUES('helper');");
    std::ofstream("held.flag").put('1');
    int exitCode = 2;
    for (int i = 0; i < 6000; ++i) {
      if (std::filesystem::exists("probed.flag")) {
        exitCode = 0;
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(300ms);
    db.Execute(u"COMMIT;");
    return exitCode;
  } catch (const storage::ESQLite3Error&) {
    return 1;
  }
}
