/*
 * The client library of propregd, the registry service: a program talks to
 * the daemon that owns a store over its Unix socket instead of opening the
 * store itself.  The daemon checks every request against the key's owner,
 * group and permission levels, as the caller's user and groups (taken from
 * the socket) allow.
 *
 * Every call returns a code: 0, a PROP_E_* code of prop.h that the store
 * or the daemon answered (5 = permission denied), or one of PRC_E_* below
 * when the daemon could not be reached or understood.  The text of the
 * last answer is prc_error_text().  A connection is used by one thread at
 * a time; open several for several threads.
 */
#ifndef PROPREG_CLIENT_H
#define PROPREG_CLIENT_H

#include <stdint.h>

#include "propreg/prop.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PROPREG_BUILDING_CLIENT)
#define PRC_EXPORT __attribute__((visibility("default")))
#else
#define PRC_EXPORT
#endif

enum {
    PRC_E_CONNECT = 1001,  /* no daemon listens at the socket */
    PRC_E_CLOSED = 1002,   /* the daemon closed the connection (it stopped or failed) */
    PRC_E_PROTOCOL = 1003, /* the daemon's answer could not be read */
    PRC_E_TIMEOUT = 1004,  /* prc_next_event: nothing came in time */
    PRC_E_TOOBIG = 1005,   /* the request exceeds the daemon's bound */
    PRC_E_USAGE = 1006     /* the call cannot be made on this connection */
};

typedef struct prc_conn prc_conn;
/* A key opened on a connection; valid on that connection only, until
 * prc_close_key or the connection ends.  0 is no key. */
typedef uint32_t prc_key;

/* The socket of the daemon serving a configuration root: ROOT/propregd.sock.
 * root NULL: $ZKV_REGISTRY_ROOT, else ~/.local/share/propreg (as propctl).
 * Writes at most size bytes; 0, or PRC_E_USAGE when it does not fit. */
PRC_EXPORT uint32_t prc_socket_path(const char *root, char *path, uint32_t size);

PRC_EXPORT uint32_t prc_connect(const char *socket_path, prc_conn **conn);
/* Closes the connection; the daemon closes every key opened on it. */
PRC_EXPORT void prc_disconnect(prc_conn *conn);
/* The text of the last answer ("" after a success). */
PRC_EXPORT const char *prc_error_text(const prc_conn *conn);

PRC_EXPORT uint32_t prc_open(prc_conn *conn, const char *keyname, prc_key *key);
PRC_EXPORT uint32_t prc_close_key(prc_conn *conn, prc_key key);

/* *size: in, the capacity of value; out, the value's size (also when it
 * did not fit: PROP_E_BUFSZ). */
PRC_EXPORT uint32_t prc_get_value(prc_conn *conn, prc_key key, uint32_t *dtype, void *value, uint32_t *size);
PRC_EXPORT uint32_t prc_set_value(prc_conn *conn, prc_key key, uint32_t dtype, const void *value, uint32_t size);
PRC_EXPORT uint32_t prc_delete_value(prc_conn *conn, prc_key key);

/* sec NULL: the caller owns the key with full access, its group and others
 * may read.  disposition: PROP_DISP_CREATED or PROP_DISP_EXISTED; key and
 * disposition may be NULL. */
PRC_EXPORT uint32_t prc_create_key(prc_conn *conn, prc_key parent, const char *subkey, const sec_attr *sec,
                                   prc_key *key, uint32_t *disposition);
/* flags: PRZKV_FLAGS_NO_OVERWRITE fails with 55 when the key exists. */
PRC_EXPORT uint32_t prc_create_n_set_key(prc_conn *conn, prc_key parent, const char *subkey, const sec_attr *sec,
                                         uint32_t dtype, const void *value, uint32_t size, uint32_t flags,
                                         prc_key *key, uint32_t *disposition);
PRC_EXPORT uint32_t prc_delete_key(prc_conn *conn, prc_key key, uint32_t recursive);
/* tgt: an existing key tgt_subkey under tgt_parent to replace, or 0. */
PRC_EXPORT uint32_t prc_move_key(prc_conn *conn, prc_key src, prc_key tgt_parent, const char *tgt_subkey,
                                 prc_key tgt, prc_key *result);
/* *names: every subkey name followed by a zero byte, and one more zero
 * byte; give it back with prc_free. */
PRC_EXPORT uint32_t prc_enum_subkeys(prc_conn *conn, prc_key key, char **names, uint32_t *count);
PRC_EXPORT void prc_free(void *p);
PRC_EXPORT uint32_t prc_get_security(prc_conn *conn, prc_key key, sec_attr *sec);
PRC_EXPORT uint32_t prc_set_security(prc_conn *conn, prc_key key, const sec_attr *sec);

/* Batches: changes made in one transaction, all or none.  Add operations,
 * run, then read each operation's result. */
typedef struct prc_batch prc_batch;
PRC_EXPORT prc_batch *prc_batch_new(void);
PRC_EXPORT void prc_batch_free(prc_batch *batch);
PRC_EXPORT void prc_batch_set_value(prc_batch *batch, prc_key key, uint32_t dtype, const void *value, uint32_t size);
PRC_EXPORT void prc_batch_delete_value(prc_batch *batch, prc_key key);
PRC_EXPORT void prc_batch_create_key(prc_batch *batch, prc_key parent, const char *subkey, const sec_attr *sec);
PRC_EXPORT void prc_batch_create_n_set_key(prc_batch *batch, prc_key parent, const char *subkey,
                                           const sec_attr *sec, uint32_t dtype, const void *value, uint32_t size,
                                           uint32_t flags);
PRC_EXPORT void prc_batch_delete_key(prc_batch *batch, prc_key key, uint32_t recursive);
PRC_EXPORT void prc_batch_set_security(prc_batch *batch, prc_key key, const sec_attr *sec);
PRC_EXPORT void prc_batch_move_key(prc_batch *batch, prc_key src, prc_key tgt_parent, const char *tgt_subkey,
                                   prc_key tgt);
/* 0 when every operation ran and the batch was committed, else the code
 * that ended it (nothing of the batch is then applied).  A batch holds at
 * most 4096 operations and 1 MiB in all: PRC_E_TOOBIG, before it is sent. */
PRC_EXPORT uint32_t prc_batch_run(prc_conn *conn, prc_batch *batch);
PRC_EXPORT uint32_t prc_batch_count(const prc_batch *batch);
/* Operation i's result after a run; key (made by a create or a move; close
 * it when done) and disposition may be NULL. */
PRC_EXPORT uint32_t prc_batch_result(const prc_batch *batch, uint32_t i, prc_key *key, uint32_t *disposition);

/* The store's locations, their states, its size, its keys and the size it
 * may grow to (privileged callers). */
PRC_EXPORT uint32_t prc_status(prc_conn *conn, prop_status *status);
/* The corruption check of the whole store: 0 sound, 57 corrupt (privileged). */
PRC_EXPORT uint32_t prc_check(prc_conn *conn);
/* A physical backup into the file name holds (PROP_LOCNAME_SIZE bytes, in
 * and out), written by the daemon (privileged). */
PRC_EXPORT uint32_t prc_backup(prc_conn *conn, char *name);
/* prc_status with the locations' names in full, as configured, and the
 * device id of each location into ids (PROP_MAX_LOCATIONS of them; may be
 * NULL). */
PRC_EXPORT uint32_t prc_status_full(prc_conn *conn, prop_status *status, uint32_t *ids);
/* The store's sizes alone, from its bitmaps, without the scan (any
 * caller): total_kb, used_kb, free_kb and limit_kb of status. */
PRC_EXPORT uint32_t prc_sizes(prc_conn *conn, prop_status *status);
/* What the store logged while the daemon answered the last status, check
 * or backup on conn (what the scan and the walk found, a page no location
 * holds sound): lines, each ending in a newline; "" when none.  Valid
 * until the next request on conn. */
PRC_EXPORT const char *prc_findings(const prc_conn *conn);
/* What and where the store is: its format version, its locations as
 * configured (names: PROP_MAX_LOCATIONS of them, "" where none is) and
 * their device ids (ids: PROP_MAX_LOCATIONS; privileged). */
PRC_EXPORT uint32_t prc_info(prc_conn *conn, uint32_t *format_version, char (*names)[PROP_LOCNAME_SIZE], uint32_t *ids);

/* Watching: the connection is given over to the changes of a key and of
 * everything below it, one event per changed key in commit order.  A
 * watcher that falls behind gets one PRC_EV_RESYNC (what happened after
 * seq was dropped) and must read again what it watches.  Needs READ on the
 * key and on every key below it. */
enum {
    PRC_EV_CREATED = 1,
    PRC_EV_VALUE_SET = 2,
    PRC_EV_VALUE_REMOVED = 3,
    PRC_EV_DELETED = 4,  /* the key and everything below it */
    PRC_EV_MOVED = 5,    /* the key, with everything below it, is now target */
    PRC_EV_SECURITY = 6,
    PRC_EV_RESYNC = 7
};
#define PRC_NAME_SIZE 4097
typedef struct prc_event {
    uint64_t seq;         /* increases by one with every change the daemon commits */
    uint32_t kind;        /* PRC_EV_* */
    char key[PRC_NAME_SIZE];
    char target[PRC_NAME_SIZE]; /* moved: the new name */
} prc_event;

/* *seq (may be NULL): the last change committed before the watch began. */
PRC_EXPORT uint32_t prc_watch(prc_conn *conn, const char *keyname, uint64_t *seq);
/* Waits up to timeout_ms (-1: for ever) for the next event. */
PRC_EXPORT uint32_t prc_next_event(prc_conn *conn, prc_event *event, int timeout_ms);

/* Record files, written and read by the daemon with its rights
 * (privileged): an export of keyname and every key below it (NULL or "":
 * every key) into the new file, and an import of a file in mode
 * PROP_CBKP_IMPORT_*, which reads the whole file and checks it before it
 * applies anything, and commits up to 10000 keys a transaction.  out (may
 * be NULL) says how far it got and, after a failure, what the code is
 * about. */
enum {
    PRC_RECORDS_RUN = 1,    /* the export or import as a whole; detail may say more */
    PRC_RECORDS_KEY = 2,    /* the key detail names */
    PRC_RECORDS_CHANGE = 3, /* the change detail names ("import KEY") */
    PRC_RECORDS_RECORD = 4, /* a key a record cannot carry; detail says why */
    PRC_RECORDS_EXISTS = 5  /* the export's file, detail, is there already */
};
typedef struct prc_records {
    uint64_t keys;         /* written, or read and applied */
    uint64_t created;      /* import: keys that were new */
    uint64_t transactions; /* import: transactions committed */
    uint32_t fault;        /* 0, or PRC_RECORDS_* */
    char detail[3 * PRC_NAME_SIZE];
} prc_records;
PRC_EXPORT uint32_t prc_export(prc_conn *conn, const char *file, const char *keyname, prc_records *out);
PRC_EXPORT uint32_t prc_import(prc_conn *conn, const char *file, uint32_t mode, prc_records *out);

/* The store's upgrade state word (16: importing, 0: in use; privileged). */
PRC_EXPORT uint32_t prc_state(prc_conn *conn, uint32_t *state);
/* One raw 4096-byte block into block, read by the daemon (privileged): the
 * tree node of keyname, or with keyname NULL the block *number, from
 * location 0 to 4, or 100 for any.  *number is then the block read, and
 * *found 0, 38 (the block is free) or 39 (its header does not validate).
 * report (may be NULL): what the block's fields hold, as text, in at most
 * report_size bytes (8192 hold any). */
PRC_EXPORT uint32_t prc_get_block(prc_conn *conn, const char *keyname, uint32_t location, void *block,
                                  uint32_t *number, uint32_t *found, char *report, uint32_t report_size);

#ifdef __cplusplus
}
#endif

#endif /* PROPREG_CLIENT_H */
