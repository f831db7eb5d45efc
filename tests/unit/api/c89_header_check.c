/* Compiled as C89 with -pedantic-errors: every public C header of the library and its card platform must
   be valid C89, as applications written in it include them. */
#include "qobl_api.h"
#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_model.h"
#include "qobcrt/qobcrt_sim.h"
#include "qobe/qobe.h"
#include "qobcrt/qobcrt_preproc.h"
#include "qobm/qobm.h"
#include "tvm/runtime/c_backend_api.h"
#include "tvm/runtime/c_runtime_api.h"

/* The pre-processing arithmetic as compiled in C89 (where the header's functions are GCC's __inline__). */
uint8_t c89_preproc_quantize_u8(float x, float scale) { return qobcrt_preproc_quantize_u8(x, scale); }
uint16_t c89_preproc_f32_to_f16(float f) { return qobcrt_preproc_f32_to_f16(f); }
