/*
 * parallel_kernels.c - kernels of the demo model `parallel`, written the way TVM's code generator writes
 * CPU kernels: each splits its work over a parallel launch of the runtime's default number of tasks
 * (num_task 0), passes a barrier between two phases, takes its scratch memory from the runtime's
 * workspace calls and reports errors through __TVMAPISetLastError.
 *
 *   data [N,16,32,32] -> conv 3x3 (same) 16->32 + bias + relu -> conv 3x3 (same) 32->32 + bias + relu
 *                                                               (parallel_fused_conv2d_relu_conv2d_relu)
 *                     -> global average pool -> dense 32->10 + bias   (parallel_fused_mean_dense)
 *                     -> scores [N,10]
 *
 * Every output value is computed by exactly one task with a fixed order of additions, so the results
 * are the same bits whatever the number of tasks.  A non-finite input value makes the task that meets it
 * fail; the others are then released from the barrier and give up too.
 */
#include <math.h>

#include "model_backend.h"

enum { C_IN = 16, C_MID = 32, H = 32, W = 32, CLASSES = 10 };

/* acc[H*W] = sum over ci, ky, kx of in[ci] shifted * w[co][ci][ky][kx], in that order per pixel; then
   out[co] = relu(acc + bias[co]).  Rows are the inner loop so that the compiler can vectorise it without
   reordering any pixel's additions. */
static void conv3x3_channel(const float* in, int64_t c_in, const float* w, float bias, float* acc, float* out) {
  for (int i = 0; i < H * W; ++i) acc[i] = 0.0f;
  for (int64_t ci = 0; ci < c_in; ++ci) {
    const float* plane = in + ci * H * W;
    for (int ky = 0; ky < 3; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const float k = w[(ci * 3 + ky) * 3 + kx];
        const int x_lo = kx == 0 ? 1 : 0, x_hi = kx == 2 ? W - 1 : W;
        for (int y = 0; y < H; ++y) {
          const int iy = y + ky - 1;
          if (iy < 0 || iy >= H) continue;
          const float* src = plane + iy * W + (kx - 1);
          float* dst = acc + y * W;
          for (int x = x_lo; x < x_hi; ++x) dst[x] += src[x] * k;
        }
      }
    }
  }
  for (int i = 0; i < H * W; ++i) {
    const float v = acc[i] + bias;
    out[i] = v > 0.0f ? v : 0.0f;
  }
}

struct conv_job {
  const float *data, *w1, *b1, *w2, *b2;
  float* mid; /* workspace: the first convolution's output, [N,C_MID,H,W] */
  float* out;
  int64_t n_items;
};

static int conv_task(int task_id, TVMParallelGroupEnv* penv, void* cdata) {
  static const char* fn = "parallel_fused_conv2d_relu_conv2d_relu";
  const struct conv_job* j = (const struct conv_job*)cdata;
  int64_t lo, hi;
  mk_task_range(task_id, penv->num_task, C_MID, &lo, &hi);
  /* Each task checks its share of the input planes before anything is computed. */
  int64_t in_lo, in_hi;
  mk_task_range(task_id, penv->num_task, j->n_items * C_IN * H * W, &in_lo, &in_hi);
  for (int64_t i = in_lo; i < in_hi; ++i) {
    if (!isfinite(j->data[i])) {
      char text[96];
      snprintf(text, sizeof text, "input value %lld is not finite", (long long)i);
      return mk_fail(fn, text);
    }
  }
  float* acc = (float*)__TVMBackendAllocWorkspace(kDLCPU, 0, sizeof(float) * H * W, kDLFloat, 32);
  if (acc == NULL) return -1;
  for (int64_t n = 0; n < j->n_items; ++n)
    for (int64_t co = lo; co < hi; ++co)
      conv3x3_channel(j->data + n * C_IN * H * W, C_IN, j->w1 + co * C_IN * 9, j->b1[co], acc,
                      j->mid + (n * C_MID + co) * H * W);
  /* The second convolution reads every channel of the first. */
  if (__TVMBackendParallelBarrier(task_id, penv) != 0) {
    __TVMBackendFreeWorkspace(kDLCPU, 0, acc);
    return -1;
  }
  for (int64_t n = 0; n < j->n_items; ++n)
    for (int64_t co = lo; co < hi; ++co)
      conv3x3_channel(j->mid + n * C_MID * H * W, C_MID, j->w2 + co * C_MID * 9, j->b2[co], acc,
                      j->out + (n * C_MID + co) * H * W);
  return __TVMBackendFreeWorkspace(kDLCPU, 0, acc);
}

/* args: data, conv1_weight, conv1_bias, conv2_weight, conv2_bias, out */
MK_KERNEL(parallel_fused_conv2d_relu_conv2d_relu) {
  static const char* fn = "parallel_fused_conv2d_relu_conv2d_relu";
  DLTensor* t[6];
  if (mk_backend_tensors(fn, args, type_codes, num_args, 6, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C_IN, H, W};
  const int64_t s_w1[4] = {C_MID, C_IN, 3, 3};
  const int64_t s_w2[4] = {C_MID, C_MID, 3, 3};
  const int64_t s_b[1] = {C_MID};
  const int64_t s_out[4] = {MK_ANY, C_MID, H, W};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 4, s_w1) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 4, s_w2) || mk_check_f32(t[4], 1, s_b) || mk_check_f32(t[5], 4, s_out) ||
      t[0]->shape[0] != t[5]->shape[0])
    return mk_fail(fn, "argument shapes or types do not fit [N,16,32,32] -> [N,32,32,32] float32");
  struct conv_job j;
  j.data = mk_f32(t[0]);
  j.w1 = mk_f32(t[1]);
  j.b1 = mk_f32(t[2]);
  j.w2 = mk_f32(t[3]);
  j.b2 = mk_f32(t[4]);
  j.out = mk_f32(t[5]);
  j.n_items = t[0]->shape[0];
  j.mid = (float*)__TVMBackendAllocWorkspace(kDLCPU, 0, sizeof(float) * (uint64_t)j.n_items * C_MID * H * W,
                                             kDLFloat, 32);
  if (j.mid == NULL) return -1;
  const int rc = __TVMBackendParallelLaunch(conv_task, &j, 0);
  if (__TVMBackendFreeWorkspace(kDLCPU, 0, j.mid) != 0) return -1;
  return rc;
}

struct mean_dense_job {
  const float *data, *w, *b;
  float* means; /* workspace [N,C_MID] */
  float* out;
  int64_t n_items;
};

static int mean_dense_task(int task_id, TVMParallelGroupEnv* penv, void* cdata) {
  const struct mean_dense_job* j = (const struct mean_dense_job*)cdata;
  int64_t lo, hi;
  mk_task_range(task_id, penv->num_task, j->n_items * C_MID, &lo, &hi);
  for (int64_t i = lo; i < hi; ++i) {
    const float* plane = j->data + i * H * W;
    float sum = 0.0f;
    for (int p = 0; p < H * W; ++p) sum += plane[p];
    j->means[i] = sum / (float)(H * W);
  }
  if (__TVMBackendParallelBarrier(task_id, penv) != 0) return -1;
  mk_task_range(task_id, penv->num_task, j->n_items * CLASSES, &lo, &hi);
  for (int64_t i = lo; i < hi; ++i) {
    const int64_t n = i / CLASSES, o = i % CLASSES;
    float acc = 0.0f;
    for (int k = 0; k < C_MID; ++k) acc += j->means[n * C_MID + k] * j->w[o * C_MID + k];
    j->out[i] = acc + j->b[o];
  }
  return 0;
}

/* args: data [N,32,32,32], dense_weight [10,32], dense_bias [10], out [N,10] */
MK_KERNEL(parallel_fused_mean_dense) {
  static const char* fn = "parallel_fused_mean_dense";
  DLTensor* t[4];
  if (mk_backend_tensors(fn, args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C_MID, H, W};
  const int64_t s_w[2] = {CLASSES, C_MID};
  const int64_t s_b[1] = {CLASSES};
  const int64_t s_out[2] = {MK_ANY, CLASSES};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 2, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 2, s_out) || t[0]->shape[0] != t[3]->shape[0])
    return mk_fail(fn, "argument shapes or types do not fit [N,32,32,32] -> [N,10] float32");
  struct mean_dense_job j;
  j.data = mk_f32(t[0]);
  j.w = mk_f32(t[1]);
  j.b = mk_f32(t[2]);
  j.out = mk_f32(t[3]);
  j.n_items = t[0]->shape[0];
  j.means = (float*)__TVMBackendAllocWorkspace(kDLCPU, 0, sizeof(float) * (uint64_t)j.n_items * C_MID, kDLFloat, 32);
  if (j.means == NULL) return -1;
  const int rc = __TVMBackendParallelLaunch(mean_dense_task, &j, 0);
  if (__TVMBackendFreeWorkspace(kDLCPU, 0, j.means) != 0) return -1;
  return rc;
}
