/* A library for LoadLibraryA's search: built three times, under two names and into two
 * directories, each copy telling where it was put. */
#include <stdint.h>

KORVO_PROBE_EXPORT int32_t KorvoProbeWhere(void) {
    return KORVO_PROBE_WHERE;
}
