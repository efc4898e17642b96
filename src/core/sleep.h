// Millisecond sleep that sleeps the whole time even when the platform's
// sleep comes back early.
#pragma once

#include "core/types.h"

void u_sleep_ms(u32 ms);
