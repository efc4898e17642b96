// Links the installed library and front end: a call into each.
#include <cstdio>

#include <propreg/frontend.h>
#include <propreg/prop.h>

int main()
{
    prop_metactx *meta = prop_fe_meta_create();
    const uint32_t dev[PROP_MAX_LOCATIONS] = {1, 2, 3, 0, 0};
    char errbuf[64];
    uint32_t errsz = sizeof errbuf;
    uint32_t rc = prop_compare_dev(dev, dev, errbuf, &errsz);
    std::printf("%s\n", rc == 0 && meta != nullptr ? "consumer ok" : "consumer failed");
    prop_fe_meta_destroy(meta);
    return rc == 0 ? 0 : 1;
}
