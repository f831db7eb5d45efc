/* Compiled as C: the public header must be valid C, and its types usable from C with the layout the
   library writes.  (That every declared function is exported: the library exports test.) */
#include <stddef.h>

#include "qobl_api.h"

_Static_assert(sizeof(qoblErr) == 4, "qoblErr is 32-bit");
_Static_assert(sizeof(qoblBalanceMode) == 4, "qoblBalanceMode is 32-bit");
_Static_assert(sizeof(qoblCallbackStatus) == 8, "qoblCallbackStatus is two u32");
_Static_assert(offsetof(qoblCallbackStatus, isStreamEnd) == 4, "isStreamEnd at offset 4");

/* Calls qoblGetVersion from C; returns its result and passes the text and numbers out. */
qoblErr c_get_version(const char** ver, uint32_t numbers[4]) {
  return qoblGetVersion(ver, &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
}
