// The same operations on SQLite 3, durable (synchronous=FULL), with the
// rollback journal (DELETE) or the write-ahead log (WAL): single-row
// statements, and one transaction for the batch.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "ops.h"
#include "runner.h"

class SqliteStore {
  public:
    enum class Journal { rollback, wal };

    SqliteStore() = default;
    ~SqliteStore();
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;

    // Creates a fresh database at path with one table of keys and the
    // keys the workloads use; 0 or an SQLite code with *why set.
    int open(const std::string &path, Journal journal, std::string *why);
    // The workload of one operation on this database.
    Workload workload(const OpInfo &op);

  private:
    int exec(const char *sql);
    sqlite3_stmt *prepare(const char *sql);
    int set_value(const char *name, const std::vector<unsigned char> &value);
    int insert_key(const std::string &name);
    int insert_children(const std::string &parent);

    sqlite3 *db_ = nullptr;
    std::string path_;
    std::vector<sqlite3_stmt *> stmts_;
    sqlite3_stmt *update_ = nullptr;
    sqlite3_stmt *get_ = nullptr;
    sqlite3_stmt *lookup_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;
    sqlite3_stmt *delete_tree_ = nullptr;
    std::vector<unsigned char> value_;
};
