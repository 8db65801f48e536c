#pragma once

// The history file's one table and what every connection to it shares:
// for record/'s history code only (the store, the readers, retention).
#include <chrono>
#include <cstdint>
#include <string>

#include <sqlite3.h>

namespace history_sql {

// The table and its indexes, created when missing.
extern const char* const kSchema;
// The `form` column added to a file made before it, when missing.
extern const char* const kUpgrade;
// The `round_seq` column added to a file made before it.
extern const char* const kRoundSeqUpgrade;
// An index of older files that no query uses any more (each row paid for it).
extern const char* const kUnusedIndexes;

// How long a connection waits for another's lock before it gives up.
constexpr int kBusyMillis = 2000;

// "what: SQLite's reason", or "what: out of memory" without a connection.
std::string db_error(sqlite3* db, const std::string& what);

// SQLite's codes for a database it could read but not open or set up beside
// it: no -shm or -wal file can be created in a read-only folder or medium.
bool write_access_code(int code);

// A progress handler: non-zero (SQLite interrupts) once the steady clock is
// past the time point `deadline` points to.
int past_deadline(void* deadline);

// What the name 'history' is in the file ("table", "view", ...; "" when no
// row or no type): only a table is read, a view could run any query. Returns
// SQLITE_ROW or SQLITE_DONE, the failed step's code, or -1 when the question
// could not even be prepared.
int history_kind(sqlite3* db, std::string& kind);

// A pragma's single number, -1 when it could not be read.
sqlite3_int64 pragma_value(sqlite3* db, const char* pragma);

// The WAL file is cut back to this once reused after a long reader held it.
bool limit_wal(sqlite3* db, long long kept_bytes);

}  // namespace history_sql
