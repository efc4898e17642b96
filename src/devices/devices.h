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

// Behind prop_repair_conf: changes one slot of the local configuration
// without an open store.  0, 8, 12, 13, 23, 33, 45, 54 or the device check's code.
u32 proprrep(prop_metactx *meta, u32 devnum, const char *newdev, u32 flags);
// Brings the handle's configuration in line with the published names.
// 103 when it was rewritten, 0 when it already was, 3, 13, 26, 45 or the
// configuration writer's code.
u32 proprrepauto(proprhandle *handle, const dev_names published);
// The same for a node without an open store: local is rewritten as the
// configuration now stands.  0 or the code of the step that failed.
u32 proprrepauto_rim(prop_metactx *meta, dev_names local, const dev_names published);
// Behind prop_overwrite_conf: the node's configuration becomes the store's
// own (its boot blocks' device history).  0, 12 or 26.
u32 proprcow(prop_metactx *meta);
// Rewrites the storage resource's start and stop dependencies.  0, 3 or 45.
u32 proprrep_modify_dependency(proprhandle *handle, u32 flags);
// The open's repair: at the CACHING level, the configuration published by
// the Cache Writer replaces the node's.  103 (rewritten), 0 (nothing done),
// 8, 12, 13, 23 or 26.
u32 proprio_repairconf(proprhandle *handle);

// Splits a published configuration (names separated by '>') into names.
// 0, or 26 for text that is no configuration: more than five names, a
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
