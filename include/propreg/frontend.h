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

#ifdef __cplusplus
}
#endif

#endif /* PROPREG_FRONTEND_H */
