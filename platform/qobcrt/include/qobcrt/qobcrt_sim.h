/*
 * qobcrt_sim.h - test support of the simulated card: exact accounting, fault injection, op delays.
 */
#ifndef QOBCRT_QOBCRT_SIM_H
#define QOBCRT_QOBCRT_SIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { QOBCRT_SIM_STREAM = 0, QOBCRT_SIM_INOUT = 1, QOBCRT_SIM_DDR_SHARE = 2, QOBCRT_SIM_APP = 3 };

typedef struct qobcrt_sim_stats {
  uint64_t live_blocks[4], live_bytes[4], allocs[4], frees[4];   /* indexed by the kinds above */
  uint64_t runs_submitted, runs_completed, runs_failed, reports_delivered;
} qobcrt_sim_stats;

int qobcrt_sim_get_stats(uint32_t dev, qobcrt_sim_stats* out);
/* The nth next call (1 = the next) of the named runtime function returns code and does nothing. */
int qobcrt_sim_fail_call(const char* call, uint32_t nth, uint32_t code);
/* The next execution of the op whose record uid (bit 31 removed) is op_uid is reported with code. */
int qobcrt_sim_fail_op(uint32_t op_uid, uint32_t code);
int qobcrt_sim_clear_faults(void);
int qobcrt_sim_set_op_delay_us(uint32_t dev, uint32_t us);   /* every op on the device takes at least us */

#ifdef __cplusplus
}
#endif
#endif /* QOBCRT_QOBCRT_SIM_H */
