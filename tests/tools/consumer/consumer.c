/* The embedding example of README.md as a whole program: reads
 * SYSTEM.app.port from the local registry that $ZKV_REGISTRY_ROOT names.
 * Built in C against an installation, with CMake and with pkg-config. */
#include <stdio.h>

#include <propreg/frontend.h>

int main(void)
{
    prop_metactx *meta = prop_fe_meta_create();
    prop_clsctx *cls = prop_fe_clsctx_create(NULL);
    prop_secctx *sec = prop_fe_secctx_create(NULL, NULL, cls);
    prop_fe_zkv_opts opts = {0};
    opts.registry_kind = PROP_KIND_NKV;
    przkv_ctx *zkv = prop_fe_zkvctx_create(meta, sec, &opts);

    backend_ctx *ctx = NULL;
    propr_keyhandle *key = NULL;
    uint32_t type = 0, port = 0, size = sizeof port;
    uint32_t rc = prop_init(&ctx, meta, sec, cls, PROP_LEVEL_RW, zkv, NULL);
    if (rc == 0) rc = prop_recover(ctx, 0);
    if (rc == 0) rc = prop_open(ctx, "SYSTEM.app.port", &key, 0);
    if (rc == 0) rc = prop_get_value(ctx, key, &type, &port, &size, 0);
    if (rc == 0)
        printf("SYSTEM.app.port = %u\n", port);
    else
        fprintf(stderr, "error %u: %s\n", rc, prop_fe_msgtext(NULL, rc));

    if (key != NULL) prop_close(ctx, key);
    if (ctx != NULL) prop_terminate(ctx, 0);
    prop_fe_zkvctx_destroy(zkv);
    prop_fe_secctx_destroy(sec);
    prop_fe_clsctx_destroy(cls);
    prop_fe_meta_destroy(meta);
    return rc == 0 ? 0 : 1;
}
