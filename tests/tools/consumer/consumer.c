/* The public header is plain C: a C program built with pkg-config flags. */
#include <stdio.h>

#include <propreg/frontend.h>
#include <propreg/prop.h>

int main(void)
{
    const uint32_t a[PROP_MAX_LOCATIONS] = {1, 2, 3, 0, 0};
    const uint32_t b[PROP_MAX_LOCATIONS] = {1, 2, 4, 0, 0};
    char errbuf[64];
    uint32_t errsz = sizeof errbuf;
    prop_metactx *meta = prop_fe_meta_create();
    uint32_t rc = prop_compare_dev(a, b, errbuf, &errsz);
    printf("%s\n", rc == PROP_E_DEVDIFF && meta != NULL ? "c consumer ok" : "c consumer failed");
    prop_fe_meta_destroy(meta);
    return rc == PROP_E_DEVDIFF ? 0 : 1;
}
