#include "cpu_mask.h"

#include <cstring>

cpu_mask make_single_cpu_mask(int32_t cpu) {
    cpu_mask mask;
    CPU_ZERO(&mask);
    // CPU_SET widens the number with its sign and sets nothing past bit
    // 1023, so a negative number leaves the mask empty too.
    CPU_SET(cpu, &mask);
    return mask;
}

bool masks_equal(const cpu_mask &a, const cpu_mask &b) {
    return memcmp(&a, &b, CPU_MASK_BYTES) == 0;
}
