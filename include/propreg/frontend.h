/*
 * The reference front end: builders for the records a caller hands to the
 * prop_* exports.  Tests, tools and embedders use it; libpropreg itself never
 * depends on it.
 */
#ifndef PROPREG_FRONTEND_H
#define PROPREG_FRONTEND_H

#include "propreg/prop.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Meta context: a memory manager that counts live blocks and bytes and
 * can be told to fail an allocation, so a test can prove that every path
 * gives back what it took. */
prop_metactx *prop_fe_meta_create(void);
/* Frees the context itself; blocks still live are reported by the counters
 * beforehand and are not freed. */
void prop_fe_meta_destroy(prop_metactx *meta);
uint64_t prop_fe_meta_live_blocks(const prop_metactx *meta);
uint64_t prop_fe_meta_live_bytes(const prop_metactx *meta);
uint64_t prop_fe_meta_total_allocs(const prop_metactx *meta);
/* The n-th allocation from now (1 = the next) and every later one fail;
 * n = 0 switches failures off. */
void prop_fe_meta_fail_from(prop_metactx *meta, uint64_t n);
/* Gives back a tagged block the library handed to the caller (for example
 * the buffer of prop_enum_subkey). */
void prop_fe_free_block(prop_metactx *meta, void *area);

/* ---- Message catalogue: a text for every code of prop.h (facility "PROP")
 * and for the component messages 101 and 107 (formats taking an unsigned
 * number, an unsigned category and a text). */
const char *prop_fe_msgtext(void *catalogue, uint32_t number);

/* ---- Cluster-services context: this node's host name (NULL: the name the
 * system reports). */
prop_clsctx *prop_fe_clsctx_create(const char *hostname);
void prop_fe_clsctx_destroy(prop_clsctx *cls);

/* ---- Security context of a caller.  NULL user or group: the process's
 * own.  Permission checks are on; the caller is not privileged. */
prop_secctx *prop_fe_secctx_create(const char *user, const char *group, prop_clsctx *cls);
void prop_fe_secctx_destroy(prop_secctx *sec);

/* ---- Group-services context: the group this node publishes its vote
 * record under, and the record. */
prop_grpctx *prop_fe_grpctx_create(const char *group_name);
void prop_fe_grpctx_destroy(prop_grpctx *grp);

/* ---- The configuration the Cache Writer publishes to the cluster (group
 * public data), as the cluster's group service keeps it on one machine:
 * the file "zkv_<group>.public" under $ZKV_REGISTRY_ROOT/groupdata/ (a '/'
 * in the group name becomes '_'), replaced atomically, holding an 8-byte
 * header (uint32 generation, uint32 length of the text, in the machine's
 * byte order) and the text: the location names separated by '>'.  group
 * is the front-end context's group name.  0 or an errno value. */
int prop_fe_publish_config(const char *group, const char *text);
/* Publishes the names of a configuration (empty names end it). */
int prop_fe_publish_locations(const char *group, const char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
/* Reads what was published into names (unused slots ""); ENOENT when
 * nothing was, EINVAL when it is no list of five names or fewer. */
int prop_fe_published_locations(const char *group, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                                uint32_t *generation);

/* ---- Front-end context. */
typedef struct prop_fe_zkv_opts {
    uint32_t registry_kind;     /* PROP_KIND_ZKV (also for 0) or PROP_KIND_NKV */
    uint32_t alert_base;        /* 0: 1000 for ZKV, 2100 for NKV */
    uint32_t developer_mode;    /* file locations for ZKV, buffered I/O */
    uint32_t init_log_level;    /* level of the init success lines */
    uint32_t boot_level;        /* level the front end runs at */
    const char *active_version; /* NULL: "12.2.0.0.0" */
    const char *group_name;     /* NULL: "" */
} prop_fe_zkv_opts;

/* A valid context over meta and sec (NULL opts: a ZKV context with every
 * option at its default), with an empty error table, the catalogue above
 * and the host name of sec's cluster-services context.  NULL when meta or
 * sec is NULL or memory runs out. */
przkv_ctx *prop_fe_zkvctx_create(prop_metactx *meta, prop_secctx *sec, const prop_fe_zkv_opts *opts);
/* Gives back the error elements and keys the library inserted, the lists
 * attached by this thread, and the context itself. */
void prop_fe_zkvctx_destroy(przkv_ctx *zkv);
/* Number of per-thread error elements in the table. */
uint64_t prop_fe_zkvctx_error_count(const przkv_ctx *zkv);
/* The calling thread's error element (the library keeps it under the
 * thread's id), or the global one while the thread has none. */
prop_errelem *prop_fe_thread_error(przkv_ctx *zkv);

/* Gives the calling thread an operation log list (the library appends the
 * progress lines of its writes to it); detach frees the list and its lines. */
prop_oplog_list *prop_fe_oplog_attach(przkv_ctx *zkv);
void prop_fe_oplog_detach(przkv_ctx *zkv);
/* Gives the calling thread an I/O statistics table of PROP_MAX_LOCATIONS
 * records. */
prop_iostat *prop_fe_iostat_attach(przkv_ctx *zkv);
void prop_fe_iostat_detach(przkv_ctx *zkv);

#ifdef __cplusplus
}
#endif

#endif /* PROPREG_FRONTEND_H */
