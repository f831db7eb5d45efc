// reference.cpp - CPU reference layers.
#include "reference.h"

#include <stdexcept>

namespace zenlar::qobl::modelgen::reference {

namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

}  // namespace

Tensor conv2d(const Tensor& input, const Tensor& weight, const Tensor& bias, int pad) {
  require(input.shape.size() == 4 && weight.shape.size() == 4 && bias.shape.size() == 1, "conv2d ranks");
  const int64_t n = input.shape[0], ci = input.shape[1], h = input.shape[2], w = input.shape[3];
  const int64_t co = weight.shape[0], kh = weight.shape[2], kw = weight.shape[3];
  require(weight.shape[1] == ci && bias.shape[0] == co, "conv2d channels");
  const int64_t oh = h + 2 * pad - kh + 1, ow = w + 2 * pad - kw + 1;
  require(oh > 0 && ow > 0, "conv2d output extent");

  auto in_at = [&](int64_t b, int64_t c, int64_t y, int64_t x) { return input.data[((b * ci + c) * h + y) * w + x]; };
  auto w_at = [&](int64_t o, int64_t c, int64_t y, int64_t x) { return weight.data[((o * ci + c) * kh + y) * kw + x]; };

  Tensor out({n, co, oh, ow});
  for (int64_t b = 0; b < n; ++b) {
    for (int64_t o = 0; o < co; ++o) {
      for (int64_t y = 0; y < oh; ++y) {
        for (int64_t x = 0; x < ow; ++x) {
          float sum = 0.0f;
          for (int64_t c = 0; c < ci; ++c) {
            for (int64_t ky = 0; ky < kh; ++ky) {
              for (int64_t kx = 0; kx < kw; ++kx) {
                const int64_t sy = y + ky - pad, sx = x + kx - pad;
                if (sy < 0 || sy >= h || sx < 0 || sx >= w) continue;  // zero padding adds nothing
                sum += in_at(b, c, sy, sx) * w_at(o, c, ky, kx);
              }
            }
          }
          out.data[((b * co + o) * oh + y) * ow + x] = sum + bias.data[o];
        }
      }
    }
  }
  return out;
}

Tensor relu(const Tensor& t) {
  Tensor out = t;
  for (float& v : out.data) v = v > 0.0f ? v : 0.0f;
  return out;
}

Tensor globalAvgPool(const Tensor& t) {
  require(t.shape.size() == 4, "pool rank");
  const int64_t n = t.shape[0], c = t.shape[1], plane = t.shape[2] * t.shape[3];
  Tensor out({n, c});
  for (int64_t i = 0; i < n * c; ++i) {
    float sum = 0.0f;
    for (int64_t p = 0; p < plane; ++p) sum += t.data[i * plane + p];
    out.data[i] = sum / static_cast<float>(plane);
  }
  return out;
}

Tensor dense(const Tensor& input, const Tensor& weight, const Tensor& bias) {
  require(input.shape.size() == 2 && weight.shape.size() == 2 && bias.shape.size() == 1, "dense ranks");
  const int64_t n = input.shape[0], k = input.shape[1], m = weight.shape[0];
  require(weight.shape[1] == k && bias.shape[0] == m, "dense extents");
  Tensor out({n, m});
  for (int64_t b = 0; b < n; ++b) {
    for (int64_t o = 0; o < m; ++o) {
      float sum = 0.0f;
      for (int64_t j = 0; j < k; ++j) sum += input.data[b * k + j] * weight.data[o * k + j];
      out.data[b * m + o] = sum + bias.data[o];
    }
  }
  return out;
}

Tensor addBias(const Tensor& input, const Tensor& bias) {
  require(input.shape.size() == 2 && bias.shape.size() == 1, "addBias ranks");
  const int64_t n = input.shape[0], c = input.shape[1];
  require(bias.shape[0] == c, "addBias extents");
  Tensor out({n, c});
  for (int64_t b = 0; b < n; ++b) {
    for (int64_t i = 0; i < c; ++i) out.data[b * c + i] = input.data[b * c + i] + bias.data[i];
  }
  return out;
}

Tensor scaleAdd(const Tensor& input, const Tensor& scale, const Tensor& bias) {
  require(input.shape.size() == 4 && scale.shape.size() == 2 && bias.shape.size() == 1, "scaleAdd ranks");
  const int64_t n = input.shape[0], c = input.shape[1], plane = input.shape[2] * input.shape[3];
  require(scale.shape[0] == n && scale.shape[1] == c && bias.shape[0] == c, "scaleAdd extents");
  Tensor out(input.shape);
  for (int64_t b = 0; b < n; ++b) {
    for (int64_t ch = 0; ch < c; ++ch) {
      const float s = scale.data[b * c + ch];
      for (int64_t p = 0; p < plane; ++p) {
        const int64_t at = (b * c + ch) * plane + p;
        const float prod = input.data[at] * s;
        out.data[at] = prod + bias.data[ch];
      }
    }
  }
  return out;
}

}  // namespace zenlar::qobl::modelgen::reference
