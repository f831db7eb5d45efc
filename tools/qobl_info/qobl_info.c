/* qobl-info: a first look at the installation - the library's version and the card's devices. */
#include <inttypes.h>
#include <stdio.h>

#include <qobcrt/qobcrt.h>

#include "qobl_api.h"

int main(void) {
  const char* text = NULL;
  uint32_t major = 0, minor = 0, rev = 0, bn = 0;
  qoblErr err = qoblGetVersion(&text, &major, &minor, &rev, &bn);
  if (err != qoblERR_SUCCESS) {
    fprintf(stderr, "qoblGetVersion failed: %" PRIu32 "\n", err);
    return 1;
  }
  printf("%s\n", text);
  printf("version numbers: major %" PRIu32 ", minor %" PRIu32 ", revision %" PRIu32 ", build %" PRIu32 "\n",
         major, minor, rev, bn);

  uint32_t count = 0;
  int rc = qobcrt_get_device_count(&count);
  if (rc != 0) {
    fprintf(stderr, "qobcrt_get_device_count failed: %d\n", rc);
    return 1;
  }
  printf("devices: %" PRIu32 "\n", count);
  for (uint32_t dev = 0; dev < count; ++dev) {
    uint64_t total = 0, used = 0;
    rc = qobcrt_get_memory_info(dev, &total, &used);
    if (rc != 0) {
      fprintf(stderr, "qobcrt_get_memory_info(%" PRIu32 ") failed: %d\n", dev, rc);
      return 1;
    }
    printf("  device %" PRIu32 ": memory %" PRIu64 " MiB total, %" PRIu64 " bytes in use\n", dev,
           total / (1024 * 1024), used);
  }
  return 0;
}
