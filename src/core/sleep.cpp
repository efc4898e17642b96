#include "core/sleep.h"

#include "platform/thread.h"

void u_sleep_ms(u32 ms)
{
    u64 left = static_cast<u64>(ms) * 1000;
    while (left > 0) {
        u64 slept = plat_usleep(left);
        left = slept >= left ? 0 : left - slept;
    }
}
