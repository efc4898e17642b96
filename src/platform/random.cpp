#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

int plat_random_u32(u32 *value)
{
    if (value == nullptr) return EINVAL;
    u8 *out = reinterpret_cast<u8 *>(value);
    size_t got = 0;
    while (got < sizeof *value) {
        ssize_t n = getrandom(out + got, sizeof *value - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        got += static_cast<size_t>(n);
    }
    return 0;
}
