#include "platform/vldsim/mode.h"

#include <cstring>

#include "platform/cfgstore.h"

namespace {

constexpr const char *kKey = "SOFTWARE\\Korvex\\vld";
constexpr const char *kValue = "vld_mode";

}  // namespace

u32 vld_get_mode(u32, u32 *mode)
{
    if (mode == nullptr) return 1;
    cfg_key key;
    int oserr = 0;
    cfg_result r = cfg_open_key(kKey, false, &key, &oserr);
    if (r == CFG_NO_KEY) {
        *mode = VLD_MODE_DEFAULT;
        return 0;
    }
    if (r != CFG_OK) return 1;
    char text[8];
    size_t length = 0;
    u32 type = 0;
    r = cfg_read_sz(&key, kValue, text, sizeof text, &length, &type, &oserr);
    if (r == CFG_NO_VALUE) {
        *mode = VLD_MODE_DEFAULT;
        return 0;
    }
    if (r != CFG_OK || length != 1 || text[0] < '1' || text[0] > '3') return 1;
    *mode = static_cast<u32>(text[0] - '0');
    return 0;
}
