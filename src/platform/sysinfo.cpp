#include "platform/sysinfo.h"

#include <unistd.h>

#include <cerrno>

int plat_hostname(char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return EINVAL;
    int err = gethostname(buf, size) == 0 ? 0 : errno;
    if (err == ENAMETOOLONG) err = 0;  // the cut name is still this node's name
    if (err != 0) buf[0] = '\0';
    buf[size - 1] = '\0';
    return err;
}
