/*
 * propreg: storage backend of a hierarchical cluster configuration registry.
 *
 * This header is the whole boundary of libpropreg.so: the 59 exported
 * prop_* functions and the records a front end passes to them.  Every
 * function returns a u32 code (0 = success, PROP_E_* below).  A front end
 * first obtains a backend_ctx from prop_init() or prop_setup() and passes it
 * back on every later call.
 */
#ifndef PROPREG_PROP_H
#define PROPREG_PROP_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PROPREG_BUILDING_LIBRARY)
#define PROP_EXPORT __attribute__((visibility("default")))
#else
#define PROP_EXPORT
#endif

#ifdef __cplusplus
#define PROP_NOEXCEPT noexcept
#else
#define PROP_NOEXCEPT
#endif

/* ------------------------------------------------------------------------
 * Codes
 * ---------------------------------------------------------------------- */
enum {
    PROP_OK = 0,
    PROP_E_LEVEL = 2,        /* not supported at this boot level */
    PROP_E_CTX = 3,          /* NULL or invalid context or handle */
    PROP_E_STALE = 4,        /* the key behind a key handle no longer exists */
    PROP_E_PERM = 5,         /* permission denied / block found corrupt */
    PROP_E_KEYH = 7,         /* NULL or invalid key handle */
    PROP_E_ARG = 8,          /* invalid argument, flag or request */
    PROP_E_BUFSZ = 9,        /* caller's buffer too small */
    PROP_E_NOTEMPTY = 10,    /* key is not empty */
    PROP_E_NOMEM = 12,       /* out of memory */
    PROP_E_NULL = 13,        /* NULL argument */
    PROP_E_NOMORE = 16,      /* no more records */
    PROP_E_TOOBIG = 18,      /* value too big */
    PROP_E_MAXSUBKEY = 19,   /* maximum number of subkeys reached */
    PROP_E_FORMAT = 22,      /* invalid format */
    PROP_E_CLUSTER = 23,     /* a cluster service call failed */
    PROP_E_STORAGE = 26,     /* the physical storage cannot be accessed */
    PROP_E_DEVSPACE = 31,    /* not enough space / write to new location failed */
    PROP_E_NOCONF = 33,      /* configuration key or location not found */
    PROP_E_DEVDIFF = 34,     /* two device-id vectors differ */
    PROP_E_NOSPACE = 36,     /* no free page or no space in the store */
    PROP_E_STYPE = 37,       /* storage type not accepted for this registry */
    PROP_E_NOTALLOC = 38,    /* block is not allocated */
    PROP_E_BADHDR = 39,      /* block header does not validate */
    PROP_E_CONF = 41,        /* configuration value missing or bad */
    PROP_E_CONFREAD = 42,    /* configuration cannot be opened or read */
    PROP_E_VLDCREATE = 43,   /* VLD file cannot be created or opened */
    PROP_E_DEPEND = 45,      /* updating resource dependencies failed */
    PROP_E_IMPORTING = 47,   /* format upgrade is importing */
    PROP_E_BKPFILE = 49,     /* backup file cannot be created/deleted/... */
    PROP_E_MINORITY = 54,    /* change would leave a minority of locations */
    PROP_E_EXISTS = 55,      /* key exists and overwriting was not allowed */
    PROP_E_CORRUPT = 57,     /* logical corruption found */
    PROP_E_EXPORTEXISTS = 58,/* the export file already exists */
    PROP_E_EXPORTFILE = 59,  /* export file cannot be named/created/opened */
    PROP_E_OWNERID = 64,     /* an owner id does not validate */
    PROP_E_REPAIRED = 103    /* automatic repair changed the local configuration */
};

/* Boot levels. */
enum {
    PROP_LEVEL_RW = 0,
    PROP_LEVEL_CACHING = 1,
    PROP_LEVEL_READONLY = 2,
    PROP_LEVEL_UPGRADE = 4,
    PROP_LEVEL_LEGACY5 = 5,
    PROP_LEVEL_LEGACY6 = 6,
    PROP_LEVEL_BACKUP = 8
};

/* Registry kinds (przkv_ctx.registry_kind, configuration flags). */
#define PROP_KIND_ZKV 0x20000u
#define PROP_KIND_NKV 0x40000u

/* Flags words. */
#define PROP_FLAG_IN_BATCH 0x2000000u   /* set only by prop_batch_execute */
#define PROP_FLAG_HOLDS_LOCK 0x1000000u /* recovery: caller holds prop_rwlock */
#define PROP_FLAG_BYPASS 0x4000000u     /* accept a block whose header fails */
#define PRZKV_FLAGS_NO_OVERWRITE 2u     /* create-and-set: fail if key exists */
#define PROP_TERMINATE_KEEP_CTX 0x80000000u

/* Value types. */
enum {
    PROP_TYPE_NOVALUE = 0,
    PROP_TYPE_UB4 = 1,
    PROP_TYPE_UBIG = 2,
    PROP_TYPE_TEXT = 3,
    PROP_TYPE_MULTITEXT = 4,
    PROP_TYPE_BYTES = 5
};

/* Permission levels. */
enum {
    PROP_PERM_NONE = 0,
    PROP_PERM_QUERY_KEY = 1,
    PROP_PERM_ENUMERATE_SUB_KEYS = 2,
    PROP_PERM_READ = 3,
    PROP_PERM_SET_KEY = 4,
    PROP_PERM_CREATE_LINK = 16,
    PROP_PERM_CREATE_SUB_KEY = 32,
    PROP_PERM_DELETE_KEY = 40,
    PROP_PERM_WRITE = 52,
    PROP_PERM_ALL_ACCESS = 63
};

/* Create dispositions. */
#define PROP_DISP_CREATED 50u
#define PROP_DISP_EXISTED 51u

#define PROP_MAX_LOCATIONS 5
#define PROP_LOCNAME_SIZE 4097 /* 4096 characters and a terminating zero */
#define PROP_NAME_SIZE 64      /* owner and group names, with the zero */

/* ------------------------------------------------------------------------
 * Meta context: the caller's memory manager.  Every block the library
 * holds is taken from it (zero-filled) and given back to it.
 * ---------------------------------------------------------------------- */
typedef struct prop_memmgr {
    void *top_heap;
    /* Returns a zero-filled block of size bytes, or NULL. */
    void *(*alloc)(void *heap, size_t size, const char *alloc_tag);
    void (*free)(void *heap, void *block);
} prop_memmgr;

typedef struct prop_metactx {
    prop_memmgr *memmgr;
} prop_metactx;

/* Blocks the library hands to the caller (the enumeration buffer, error
 * elements and their keys) are tagged blocks: the caller's memory manager
 * got the address PROP_TAGGED_BLOCK_OFFSET bytes before the area. */
#define PROP_TAGGED_BLOCK_OFFSET 16
static inline void *prop_tagged_block_base(void *area)
{
    return area ? (char *)area - PROP_TAGGED_BLOCK_OFFSET : NULL;
}

/* ------------------------------------------------------------------------
 * Error elements and the error table of the front-end context.
 * ---------------------------------------------------------------------- */
typedef struct prop_errelem {
    uint32_t code;           /* last error code, 0 = none */
    char text[1024];         /* "<facility>-<code>: <catalogue text>" */
    uint32_t comp_msg;       /* last component message (101, 107, 108) */
    uint32_t comp_arg;       /* first argument given with it */
    char comp_text[1024];    /* formatted component message */
} prop_errelem;

/* String-keyed table of error elements, owned by the front end.  The
 * library allocates keys and elements from the front end's meta context
 * (tagged blocks) and hands them to insert(); the table owns them after a
 * successful insert. */
typedef struct prop_strtab_ops {
    prop_errelem *(*find)(void *table, const char *key);
    int (*insert)(void *table, char *key, prop_errelem *elem); /* 0 = ok */
} prop_strtab_ops;

typedef struct prop_errtab {
    prop_errelem *global;     /* fallback element, also the last code */
    void *table;
    const prop_strtab_ops *ops;
} prop_errtab;

/* Message catalogue: the text of an error code or component message.  The
 * texts of component messages 101 and 107 are printf formats taking an
 * unsigned number, an unsigned category and a text, in that order. */
typedef const char *(*prop_msgtext_fn)(void *catalogue, uint32_t number);

/* Operation log list: one per front-end thread that wants one, found
 * through the per-thread slot oplog_key.  Entries are only appended. */
#define PROP_OPLOG_LINE 1000
#define PROP_OPLOG_OFF (-1000)
typedef struct prop_oplog_entry {
    struct prop_oplog_entry *next;
    char line[PROP_OPLOG_LINE];
} prop_oplog_entry;

typedef struct prop_oplog_list {
    int32_t anchor;           /* PROP_OPLOG_OFF switches the list off */
    prop_oplog_entry *head;
    prop_oplog_entry *tail;
} prop_oplog_list;

/* Per-thread I/O statistics: one record per location slot. */
typedef struct prop_iostat {
    uint64_t reserved0;
    uint64_t reserved1;
    uint64_t elapsed;         /* accumulated time, nanoseconds */
    uint64_t pages;           /* accumulated pages */
} prop_iostat;

/* Cluster-services context: what the node tells the backend about itself. */
typedef struct prop_clsctx {
    char hostname[257];
} prop_clsctx;

/* Group-services context (the level argument at the CACHING level): the
 * group the node publishes its vote record under, and the record. */
#define PROP_GRPREC_WORDS 10
typedef struct prop_grpctx {
    char group_name[256];
    uint32_t record[PROP_GRPREC_WORDS]; /* the 40-byte published record */
    uint32_t record_size;               /* 40 */
} prop_grpctx;

/* Security context of the caller. */
typedef struct prop_secctx {
    char tag[9];              /* "PRSECCTX" */
    char user[PROP_NAME_SIZE];
    char group[PROP_NAME_SIZE]; /* primary group */
    void *identctx;           /* identity-service context (may be NULL) */
    uint32_t check_enabled;   /* 0 = every permission check is granted */
    uint32_t privileged;      /* non-zero: privileged caller */
    prop_clsctx *clsctx;      /* cluster-services context */
} prop_secctx;

/* Front-end context.  Owned by the caller; the backend reads and writes
 * only the fields below. */
typedef struct przkv_ctx {
    char tag[8];                  /* "PRZKVCTX" */
    prop_metactx *metactx;
    prop_secctx *secctx;
    void *lsctx;                  /* lock-service context */
    void *trace_comp;             /* used by the fatal-exit messages */
    pthread_mutex_t mutex;        /* guards state and delay_exit */
    uint32_t state;               /* 22 = do not terminate, 11 = invalid */
    uint32_t delay_exit;          /* non-zero: wait 1000 ms before exit */
    uint32_t registry_kind;       /* PROP_KIND_ZKV or PROP_KIND_NKV */
    uint32_t alert_base;          /* 1000 (ZKV) or 2100 (NKV) */
    uint32_t init_log_level;      /* level of proprinit's success lines */
    uint32_t boot_level;          /* level the front end runs at */
    uint32_t developer_mode;      /* file locations for ZKV, buffered I/O */
    uint32_t location_flags;      /* configuration flags (registry kind) */
    uint32_t reopen_before_precheck; /* reopen locations before a pre-check */
    char hostname[257];           /* this node's host name */
    char active_version[64];      /* cluster active version, e.g. "12.2.0.0.0" */
    char group_name[256];         /* cluster group name (after "zkv_") */
    char log_name[4097];          /* log file named by alerts from workers */
    prop_errtab errtab;
    void *catalogue;
    prop_msgtext_fn msgtext;
    const char *facility;         /* e.g. "PROP" */
    int oplog_key_valid;
    pthread_key_t oplog_key;      /* per-thread prop_oplog_list * */
    pthread_mutex_t oplog_mutex;
    int iostat_key_valid;
    pthread_key_t iostat_key;     /* per-thread prop_iostat[5] */
    pthread_mutex_t iostat_mutex;
} przkv_ctx;

/* ------------------------------------------------------------------------
 * Backend context and the records of the key operations.
 * ---------------------------------------------------------------------- */
typedef struct proprhandle proprhandle;         /* backend handle, opaque */
typedef struct propr_keyhandle propr_keyhandle; /* open key, opaque */

typedef struct backend_ctx {
    char prop_ctx_tag[9];         /* "PROPCTXT" once initialised */
    uint32_t prop_valid;
    uint32_t prop_boot_mode;
    proprhandle *propb_ctx;
    prop_metactx *metactx;
    prop_secctx *prop_sctx;
    uintptr_t prop_mutex;
    pthread_rwlock_t prop_rwlock;
    void *prop_sclsctx;
    przkv_ctx *prop_ctx_zkvctx;
} backend_ctx;

/* Security record of a key. */
typedef struct sec_attr {
    uint32_t userperm;
    uint32_t groupperm;
    uint32_t otherperm;
    char username[PROP_NAME_SIZE];
    char groupname[PROP_NAME_SIZE];
} sec_attr;

/* Batches: two circular doubly linked lists with a list head, walked side
 * by side.  Each node begins with its links. */
typedef struct prop_list_node {
    struct prop_list_node *next;
    struct prop_list_node *prev;
} prop_list_node;

#define PROP_BATCH_NAME_SIZE 1025
#define PROP_BATCH_VALUE_SIZE 4096

enum {
    PROP_BATCH_DELETE_VALUE = 6,
    PROP_BATCH_DELETE_TREE = 7,
    PROP_BATCH_DELETE_KEY = 8,
    PROP_BATCH_SET_SECURITY = 10,
    PROP_BATCH_SET_VALUE = 11,
    PROP_BATCH_CREATE_KEY = 12,
    PROP_BATCH_CREATE_SET = 13,
    PROP_BATCH_MOVE_KEY = 14,
    PROP_BATCH_MOVE_KEY_ALT = 15,
    PROP_BATCH_CREATE_SET_NEW = 32
};

typedef struct prop_batch_op {
    prop_list_node link;
    uint32_t opcode;
    propr_keyhandle *key;         /* key operated on (create: parent; move: source) */
    propr_keyhandle *key2;        /* move: target parent */
    propr_keyhandle *key3;        /* move: existing target to replace, or NULL */
    char name[PROP_BATCH_NAME_SIZE]; /* subkey (create) or target subkey (move) */
    sec_attr sec;
    unsigned char value[PROP_BATCH_VALUE_SIZE];
    uint32_t value_size;
    uint32_t dtype;
    uint32_t flags;
} prop_batch_op;

typedef struct prop_batch_result {
    prop_list_node link;
    uint32_t result;
    propr_keyhandle *key;         /* made by create, create-and-set, move */
    char fullname[PROP_BATCH_NAME_SIZE];
    uint32_t disposition;
} prop_batch_result;

typedef struct prop_batch {
    uint32_t count;
    prop_list_node ops;           /* list head of prop_batch_op */
    prop_list_node results;       /* list head of prop_batch_result */
} prop_batch;

/* Status report of prop_get_status. */
typedef struct prop_status {
    char location[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    uint32_t state[PROP_MAX_LOCATIONS];
    char version[16];
    uint64_t total_kb;
    uint64_t used_kb;
    uint64_t free_kb;
    uint64_t keys;      /* tree nodes in use but the root's: one a key (0 with PROP_STATUS_SIZES) */
    uint64_t limit_kb;  /* what total_kb may grow to without a new format */
} prop_status;
/* prop_get_status flag: the sizes alone, counted from the bitmaps; no
 * location is scanned page by page. */
#define PROP_STATUS_SIZES 8u

/* One record of a record (export/import) file. */
#define PROP_RECORD_VALUE_MAX 65536
typedef struct prop_record {
    char keyname[1024];
    unsigned char value[PROP_RECORD_VALUE_MAX];
    uint32_t value_len;
    uint32_t value_type;
    uint32_t userperm;
    uint32_t groupperm;
    uint32_t otherperm;
    char username[PROP_NAME_SIZE + 1];
    char groupname[PROP_NAME_SIZE + 1];
} prop_record;

typedef struct prop_cbkp prop_cbkp; /* record-file context, opaque */

/* prop_cbkp_init directions. */
#define PROP_CBKP_EXPORT 1u
#define PROP_CBKP_IMPORT 2u
/* prop_cbkp_init import modes. */
#define PROP_CBKP_IMPORT_ASIS 1u     /* permissions and owner as stored */
#define PROP_CBKP_IMPORT_DEFAULTS 2u /* permissions 63, 63, 0; owner import_user */
#define PROP_CBKP_IMPORT_DATABASE 3u /* only keys under DATABASE; others read as "" */

/* ------------------------------------------------------------------------
 * The 59 exports.
 * ---------------------------------------------------------------------- */

/* Lifecycle */
PROP_EXPORT uint32_t prop_setup(backend_ctx **ctx, prop_secctx *secctx, void *clsctx,
                                const sec_attr *topsec, prop_metactx *metactx,
                                przkv_ctx *zkvctx, int32_t level,
                                uint32_t *levelarg) PROP_NOEXCEPT;
/* prop_setup levelarg at level 0: uint32_t * open flag.  With this bit set
 * in it, levelarg[1] is the size in pages (as a location counts them: the
 * bytes past the first 0x5029000, in 4096-byte pages) the store must be
 * able to grow to without a new format: it gets bitmap pages for that. */
#define PROP_SETUP_GROW_TO 0x80000000u
/* levelarg: level 8: const char * backup file name; level 1: prop_grpctx *;
 * levels 0 and 2: uint32_t * open flag; level 4: unused. */
PROP_EXPORT uint32_t prop_init(backend_ctx **ctx, prop_metactx *metactx, prop_secctx *secctx,
                               void *clsctx, uint32_t level, przkv_ctx *zkvctx,
                               void *levelarg) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_init_reboot(backend_ctx *ctx) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_reinit(backend_ctx *ctx, void *levelarg) PROP_NOEXCEPT;
/* Waits for the calls other threads are making on ctx; calls that begin
 * meanwhile are refused with 3.  No call may use ctx once it returns. */
PROP_EXPORT uint32_t prop_terminate(backend_ctx *ctx, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_close_io(backend_ctx *ctx) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_dump_ctx(backend_ctx *ctx) PROP_NOEXCEPT;

/* Key operations */
PROP_EXPORT uint32_t prop_open(backend_ctx *ctx, const char *keyname, propr_keyhandle **keyh,
                               uint32_t flags) PROP_NOEXCEPT;
/* A closed handle is dead: closing or using it again is refused with 7. */
PROP_EXPORT uint32_t prop_close(backend_ctx *ctx, propr_keyhandle *keyh) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_create_key(backend_ctx *ctx, propr_keyhandle *parent,
                                     const char *subkey, const sec_attr *sec,
                                     propr_keyhandle **keyh, uint32_t *disposition,
                                     uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_create_n_set_key(backend_ctx *ctx, propr_keyhandle *parent,
                                           const char *subkey, const sec_attr *sec,
                                           propr_keyhandle **keyh, uint32_t *disposition,
                                           uint32_t dtype, const void *value, uint32_t size,
                                           uint32_t flags) PROP_NOEXCEPT;
/* The top-level keys (DATABASE, HWK, SYSTEM) are never deleted or moved: 8. */
PROP_EXPORT uint32_t prop_delete_key(backend_ctx *ctx, propr_keyhandle *keyh,
                                     uint32_t recursive, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_move_key(backend_ctx *ctx, propr_keyhandle *src,
                                   propr_keyhandle *tgt_parent, const char *tgt_subkey,
                                   propr_keyhandle *tgt, propr_keyhandle **result,
                                   uint32_t flags) PROP_NOEXCEPT;
/* Returns every subkey name in one buffer: names each followed by a NUL, and
 * one more NUL.  *keybuf is a tagged block of the caller's meta context. */
PROP_EXPORT uint32_t prop_enum_subkey(backend_ctx *ctx, propr_keyhandle *keyh, char **keybuf,
                                      uint32_t *buflen, uint32_t *num_keys,
                                      uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_batch_execute(backend_ctx *ctx, prop_batch *batch,
                                        uint32_t flags) PROP_NOEXCEPT;

/* Values */
PROP_EXPORT uint32_t prop_set_value(backend_ctx *ctx, propr_keyhandle *keyh, uint32_t dtype,
                                    const void *value, uint32_t size,
                                    uint32_t flags) PROP_NOEXCEPT;
/* *size: in, the capacity of value; out, the value's size. */
PROP_EXPORT uint32_t prop_get_value(backend_ctx *ctx, propr_keyhandle *keyh, uint32_t *dtype,
                                    void *value, uint32_t *size,
                                    uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_delete_value(backend_ctx *ctx, propr_keyhandle *keyh,
                                       uint32_t flags) PROP_NOEXCEPT;

/* Security */
PROP_EXPORT uint32_t prop_get_security(backend_ctx *ctx, propr_keyhandle *keyh,
                                       sec_attr *sec) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_set_security(backend_ctx *ctx, propr_keyhandle *keyh,
                                       const sec_attr *sec, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_check_perm_recurse(backend_ctx *ctx, prop_secctx *secctx,
                                             propr_keyhandle *keyh,
                                             uint32_t required) PROP_NOEXCEPT;

/* Devices and configuration */
PROP_EXPORT uint32_t prop_get_conf(backend_ctx *ctx, void *unused, uint32_t *configured,
                                   char locations[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                                   uint32_t *local_only, char hwk_home[4096], char *errorbuf,
                                   uint64_t *errorbuf_sz, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_get_conf_handle(backend_ctx *ctx,
                                          char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE])
    PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_check_storage(backend_ctx *ctx, const char *location, char *errorbuf,
                                        uint32_t *errorbuf_sz, uint32_t flags) PROP_NOEXCEPT;
/* ctx may be NULL: flags PROP_KIND_NKV then reads the node-local registry. */
PROP_EXPORT uint32_t prop_get_dev(backend_ctx *ctx, uint32_t dev[PROP_MAX_LOCATIONS],
                                  char *errorbuf, uint64_t *errorbuf_sz,
                                  uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_compare_dev(const uint32_t dev1[PROP_MAX_LOCATIONS],
                                      const uint32_t dev2[PROP_MAX_LOCATIONS], char *errorbuf,
                                      uint32_t *errorbuf_sz) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_check_dev(backend_ctx *ctx, uint32_t devnum,
                                    const char *newdev) PROP_NOEXCEPT;
/* newdev "" deletes slot devnum; master = 1 on the node that writes the store. */
PROP_EXPORT uint32_t prop_replace_dev(backend_ctx *ctx, uint32_t devnum, const char *newdev,
                                      uint32_t master) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_migrate_dev(backend_ctx *ctx, uint32_t master) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_prechk_confchange(backend_ctx *ctx, uint32_t devnum,
                                            const char *newdev) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_overwrite_conf(prop_metactx *metactx) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_repair_conf(prop_metactx *metactx, uint32_t devnum,
                                      const char *newdev, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_autorepair_conf(
    backend_ctx *ctx, const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_rim_autorepair_conf(
    prop_metactx *metactx, char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
    const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]) PROP_NOEXCEPT;
/* Reads the store id recorded in the boot block of a location that is not
 * (yet) configured.  ctx is not looked at and may be NULL. */
PROP_EXPORT uint32_t prop_get_devid(backend_ctx *ctx, const char *location,
                                    uint32_t *zkvid) PROP_NOEXCEPT;
/* Copies the open store's id into *zkvid and its device-id vector into dev;
 * either pointer may be NULL.  flags is reserved (0). */
PROP_EXPORT uint32_t prop_get_id(backend_ctx *ctx, uint32_t *zkvid,
                                 uint32_t dev[PROP_MAX_LOCATIONS], uint32_t flags) PROP_NOEXCEPT;

/* Backups */
/* name: in/out buffer of PROP_LOCNAME_SIZE bytes. */
PROP_EXPORT uint32_t prop_bkup(backend_ctx *ctx, char *name) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_recover_media(prop_metactx *metactx, const char *name,
                                        uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_delete_bkpfile(backend_ctx *ctx, const char *location,
                                         const char *filename, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_rename_bkpfile(backend_ctx *ctx, const char *location,
                                         const char *from, const char *to,
                                         uint32_t flags) PROP_NOEXCEPT;
/* dst_name: in/out buffer of PROP_LOCNAME_SIZE bytes. */
PROP_EXPORT uint32_t prop_copy_bkpfile(backend_ctx *ctx, const char *src_location,
                                       const char *src_name, const char *dst_location,
                                       char *dst_name) PROP_NOEXCEPT;
/* direction: PROP_CBKP_EXPORT or PROP_CBKP_IMPORT; import_mode: one of
 * PROP_CBKP_IMPORT_* (ignored for an export); import_user: the owner given
 * to records in mode PROP_CBKP_IMPORT_DEFAULTS.  ctx may be NULL. */
PROP_EXPORT uint32_t prop_cbkp_init(backend_ctx *ctx, prop_metactx *metactx, prop_cbkp **cbkp,
                                    const char *filename, uint32_t direction,
                                    uint32_t import_mode, const char *import_user,
                                    uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_cbkp_writerec(prop_cbkp *cbkp, const prop_record *rec) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_cbkp_readrec(prop_cbkp *cbkp, prop_record *rec) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_cbkp_term(prop_cbkp *cbkp) PROP_NOEXCEPT;

/* Blocks and state */
/* Blocks are chosen by flags: PROP_BLOCK_BY_KEY, the tnode of keyh, or
 * PROP_BLOCK_BY_NUMBER, the block whose header number is *blkno (the boot
 * block is 25).  location: 0 to 4 for one location, or
 * PROP_BLOCK_ALL_LOCATIONS for the mirrored layer's choice (reads) or every
 * location (writes). */
#define PROP_BLOCK_BY_KEY 16u
#define PROP_BLOCK_BY_NUMBER 64u
#define PROP_BLOCK_ALL_LOCATIONS 100u
PROP_EXPORT uint32_t prop_get_block(backend_ctx *ctx, propr_keyhandle *keyh,
                                    uint32_t location, void *outbuf, uint32_t *inout_size,
                                    uint32_t *blkno, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_interpret_block(backend_ctx *ctx, uint32_t blkno, const void *block,
                                          uint32_t block_size, char *text,
                                          uint32_t *text_size, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_set_block(backend_ctx *ctx, propr_keyhandle *keyh,
                                    uint32_t location, const void *inbuf,
                                    uint32_t *inout_size, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_get_status(backend_ctx *ctx, prop_status *status,
                                     uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_get_state(backend_ctx *ctx, uint32_t *state,
                                    uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_set_state(backend_ctx *ctx, uint32_t state,
                                    uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_check_logical_corruption(backend_ctx *ctx) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_recover(backend_ctx *ctx, uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_recover_numpage(backend_ctx *ctx) PROP_NOEXCEPT;

/* Volume manager */
PROP_EXPORT uint32_t prop_is_zkvonvld(backend_ctx *ctx, const char *location, uint32_t *answer,
                                      uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_delete_vldfile(backend_ctx *ctx, const char *filename,
                                         uint32_t flags) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_vld_directconn(backend_ctx *ctx) PROP_NOEXCEPT;
PROP_EXPORT uint32_t prop_file_exists(prop_metactx *metactx, const char *filename,
                                      uint32_t *exists, uint32_t flags) PROP_NOEXCEPT;

/* Misc */
PROP_EXPORT uint32_t prop_get_version(backend_ctx *ctx, uint32_t *version) PROP_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* PROPREG_PROP_H */
