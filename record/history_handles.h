#pragma once

// Owners of a history connection and its statements that close them on every
// way out, for the classes that keep them (the reader, retention).
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace history_sql {

struct CloseDb {
  void operator()(sqlite3* db) const;
};
struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const;
};
using DbHandle = std::unique_ptr<sqlite3, CloseDb>;
using StmtHandle = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

}  // namespace history_sql
