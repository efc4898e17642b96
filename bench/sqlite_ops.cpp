#include "sqlite_ops.h"

#include <unistd.h>

#include <cstdio>

namespace {

// The key a workload of value size works on.
std::string value_key(u32 size)
{
    return numbered("bench.v", size);
}

int step_done(sqlite3_stmt *st)
{
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

SqliteStore::~SqliteStore()
{
    for (sqlite3_stmt *st : stmts_) sqlite3_finalize(st);
    if (db_ != nullptr) sqlite3_close(db_);
    if (!path_.empty()) {
        for (const char *suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((path_ + suffix).c_str());
    }
}

int SqliteStore::exec(const char *sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

sqlite3_stmt *SqliteStore::prepare(const char *sql)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return nullptr;
    stmts_.push_back(st);
    return st;
}

int SqliteStore::open(const std::string &path, Journal journal, std::string *why)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
    path_ = path;
    int rc = sqlite3_open(path.c_str(), &db_);
    const char *mode = journal == Journal::wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE";
    if (rc == SQLITE_OK) rc = exec(mode);
    if (rc == SQLITE_OK) rc = exec("PRAGMA synchronous=FULL");
    if (rc == SQLITE_OK)
        rc = exec("CREATE TABLE keys(name TEXT PRIMARY KEY, owner TEXT, grp TEXT, uperm INT, gperm INT,"
                  " operm INT, dtype INT, value BLOB)");
    if (rc != SQLITE_OK) {
        *why = std::string("SQLite set-up failed: ") + (db_ != nullptr ? sqlite3_errmsg(db_) : "no memory");
        return rc;
    }
    update_ = prepare("UPDATE keys SET dtype = 5, value = ?1 WHERE name = ?2");
    get_ = prepare("SELECT dtype, value FROM keys WHERE name = ?1");
    lookup_ = prepare("SELECT owner, grp, uperm, gperm, operm, length(value) FROM keys WHERE name = ?1");
    insert_ = prepare("INSERT INTO keys(name, owner, grp, uperm, gperm, operm, dtype) VALUES(?1, 'root', 'root', 63, 63, 0, 0)");
    delete_tree_ = prepare("DELETE FROM keys WHERE name = ?1 OR (name > ?1 || '.' AND name < ?1 || '/')");
    if (update_ == nullptr || get_ == nullptr || lookup_ == nullptr || insert_ == nullptr || delete_tree_ == nullptr) {
        *why = std::string("SQLite statement failed: ") + sqlite3_errmsg(db_);
        return SQLITE_ERROR;
    }
    for (u32 size : {100u, 8192u, 80000u}) {
        std::string name = value_key(size);
        rc = insert_key(name);
        if (rc == SQLITE_OK) rc = set_value(name.c_str(), std::vector<unsigned char>(size, 0x11));
        if (rc != SQLITE_OK) {
            *why = std::string("SQLite set-up failed: ") + sqlite3_errmsg(db_);
            return rc;
        }
    }
    return SQLITE_OK;
}

int SqliteStore::set_value(const char *name, const std::vector<unsigned char> &value)
{
    sqlite3_bind_blob(update_, 1, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    sqlite3_bind_text(update_, 2, name, -1, SQLITE_TRANSIENT);
    return step_done(update_);
}

int SqliteStore::insert_key(const std::string &name)
{
    sqlite3_bind_text(insert_, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    return step_done(insert_);
}

// kTreeKeys children of parent, in one transaction.
int SqliteStore::insert_children(const std::string &parent)
{
    int rc = exec("BEGIN");
    for (u32 k = 0; k < kTreeKeys && rc == SQLITE_OK; k++) rc = insert_key(parent + "." + child_name(k));
    if (rc == SQLITE_OK) return exec("COMMIT");
    exec("ROLLBACK");
    return rc;
}

Workload SqliteStore::workload(const OpInfo &op)
{
    auto code = [](int rc) { return static_cast<u32>(rc); };
    switch (op.op) {
    case Op::set_100:
    case Op::set_8k:
    case Op::set_80k: {
        value_.assign(op.value_size, 0);
        std::string name = value_key(op.value_size);
        return {{}, [this, name, code](int i) -> u32 {
                    value_[0] = static_cast<unsigned char>(i);
                    return code(set_value(name.c_str(), value_));
                }, {}};
    }
    case Op::get: {
        std::string name = value_key(op.value_size);
        value_.assign(op.value_size, 0);
        return {{}, [this, name](int) -> u32 {
                    sqlite3_bind_text(get_, 1, name.c_str(), -1, SQLITE_TRANSIENT);
                    int rc = sqlite3_step(get_);
                    if (rc == SQLITE_ROW) {
                        const void *v = sqlite3_column_blob(get_, 1);
                        size_t n = static_cast<size_t>(sqlite3_column_bytes(get_, 1));
                        if (v != nullptr && n <= value_.size()) std::copy_n(static_cast<const unsigned char *>(v), n, value_.data());
                        rc = SQLITE_OK;
                    }
                    sqlite3_reset(get_);
                    return static_cast<u32>(rc);
                }, {}};
    }
    case Op::open_cached:
        return {{}, [this](int) -> u32 {
                    sqlite3_bind_text(lookup_, 1, value_key(100).c_str(), -1, SQLITE_TRANSIENT);
                    int rc = sqlite3_step(lookup_);
                    sqlite3_reset(lookup_);
                    return rc == SQLITE_ROW ? 0 : static_cast<u32>(rc);
                }, {}};
    case Op::create:
        return {{}, [this, code](int i) -> u32 {
                    std::string name = "bench.c.";
                    return code(insert_key(name += child_name(static_cast<u32>(i))));
                }, {}};
    case Op::batch_create:
        return {[this, code](int i) -> u32 { return code(insert_key(numbered("bench.b", static_cast<u32>(i)))); },
                [this, code](int i) -> u32 { return code(insert_children(numbered("bench.b", static_cast<u32>(i)))); }, {}};
    case Op::delete_tree:
        return {[this, code](int i) -> u32 {
                    std::string parent = numbered("bench.d", static_cast<u32>(i));
                    int rc = insert_key(parent);
                    return code(rc == SQLITE_OK ? insert_children(parent) : rc);
                },
                [this, code](int i) -> u32 {
                    std::string parent = numbered("bench.d", static_cast<u32>(i));
                    sqlite3_bind_text(delete_tree_, 1, parent.c_str(), -1, SQLITE_TRANSIENT);
                    int rc = step_done(delete_tree_);
                    if (rc == SQLITE_OK && sqlite3_changes(db_) != static_cast<int>(kTreeKeys) + 1) rc = SQLITE_NOTFOUND;
                    return code(rc);
                }, {}};
    }
    return {};
}
