// Changing a running store's locations (add, replace, delete, rewriting
// volume-manager disk groups into file names) and bringing a node's
// configuration back in line with the store: by hand, from the
// configuration the Cache Writer publishes, or by declaring the node's
// configuration the store's own.
#pragma once

#include "core/types.h"

struct proprhandle;

using dev_names = char[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];

// Longest location name the configuration reader reads back.
constexpr u32 DEV_NAME_MAX = 1023;
// Separator of the published configuration.
constexpr char DEV_PUBLISHED_SEP = '>';
// Published configurations below this active version do not repair nodes.
constexpr u32 DEV_REPAIR_MIN_VERSION = 0x0b200200;

// Behind prop_replace_dev: newdev into slot devnum (add or replace), or ""
// to delete it; master = 1 on the Cache Writer, which also records the
// change in the store's boot blocks and fills a new location.
u32 dev_replace(backend_ctx *ctx, u32 devnum, const char *newdev, u32 master);
// Behind prop_migrate_dev: volume-manager disk-group locations become the
// complete names of their registry files.
u32 dev_migrate(backend_ctx *ctx, u32 master);

// Behind prop_repair_conf: changes one slot of the local configuration without
// an open store.  PROP_OK, PROP_E_ARG, PROP_E_NOMEM, PROP_E_NULL, PROP_E_CLUSTER,
// PROP_E_NOCONF, PROP_E_DEPEND, PROP_E_MINORITY or the device check's code.
// proprrep: replace a location.
u32 proprrep(prop_metactx *meta, u32 devnum, const char *newdev, u32 flags);
// Brings the handle's configuration in line with the published names.
// PROP_E_REPAIRED when it was rewritten, PROP_OK when it already was, PROP_E_CTX,
// PROP_E_NULL, PROP_E_STORAGE, PROP_E_DEPEND or the configuration writer's code.
// proprrepauto: repair automatically: follow the published names.
u32 proprrepauto(proprhandle *handle, const dev_names published);
// The same for a node without an open store: local is rewritten as the
// configuration now stands.  0 or the code of the step that failed.
u32 proprrepauto_rim(prop_metactx *meta, dev_names local, const dev_names published);
// Behind prop_overwrite_conf: the node's configuration becomes the store's
// own (its boot blocks' device history).  PROP_OK, PROP_E_NOMEM or PROP_E_STORAGE.
// proprcow: copy (overwrite) the configuration.
u32 proprcow(prop_metactx *meta);
// Rewrites the storage resource's start and stop dependencies.  PROP_OK,
// PROP_E_CTX or PROP_E_DEPEND.
u32 proprrep_modify_dependency(proprhandle *handle, u32 flags);
// The open's repair: at the CACHING level, the configuration published by
// the Cache Writer replaces the node's.  PROP_E_REPAIRED (rewritten), PROP_OK (nothing done),
// PROP_E_ARG, PROP_E_NOMEM, PROP_E_NULL, PROP_E_CLUSTER or PROP_E_STORAGE.
u32 proprio_repairconf(proprhandle *handle);

// Splits a published configuration (names separated by '>') into names.
// PROP_OK, or PROP_E_STORAGE for text that is no configuration: more than five names, a
// name too long to configure, an empty name between two others, a
// duplicate, or no name at all.
u32 dev_split_published(const char *text, size_t length, dev_names names);
// 0 when names is a configuration a node may take: gap-free from slot 0,
// no duplicates, no name too long; else 26.
u32 dev_check_published(const dev_names names);

// The operations behind the exports, with their argument lists.
u32 proprrepauto_op(backend_ctx *ctx, const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
u32 proprrepauto_rim_op(prop_metactx *meta, char local[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                        const char published[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE]);
