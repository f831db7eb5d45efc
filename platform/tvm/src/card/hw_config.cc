#include "card/hw_config.h"

#include <rapidjson/document.h>
#include <tvm/runtime/data_type.h>

#include <cstring>

namespace tvm {
namespace runtime {
namespace card {

namespace {

using rapidjson::Value;

bool GetUint(const Value& obj, const char* key, uint64_t max, uint64_t* out, const std::string& where,
             std::string* err, uint64_t min = 0) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsUint64() || it->value.GetUint64() < min || it->value.GetUint64() > max) {
    *err = where + "\"" + key + "\" must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  *out = it->value.GetUint64();
  return true;
}

bool GetInt(const Value& obj, const char* key, int64_t min, int64_t max, int32_t* out, const std::string& where,
            std::string* err) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsInt64() || it->value.GetInt64() < min || it->value.GetInt64() > max) {
    *err = where + "\"" + key + "\" must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  *out = static_cast<int32_t>(it->value.GetInt64());
  return true;
}

bool GetFloat(const Value& obj, const char* key, float* out, const std::string& where, std::string* err) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsNumber()) {
    *err = where + "\"" + key + "\" must be a number";
    return false;
  }
  *out = static_cast<float>(it->value.GetDouble());
  return true;
}

int64_t RoundUp8(int64_t v) { return (v + 7) / 8 * 8; }

}  // namespace

bool ParseHwConfig(const std::string& text, HwConfig* out, std::string* err) {
  *out = HwConfig();
  if (text.empty()) return true;
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  if (doc.HasParseError() || !doc.IsObject()) {
    *err = "hardware configuration is not a JSON object";
    return false;
  }
  const std::string top = "hardware configuration: ";
  uint64_t v = out->max_batch_size;
  if (!GetUint(doc, "max_batch_size", 1u << 20, &v, top, err, 1)) return false;
  out->max_batch_size = static_cast<uint32_t>(v);
  if (!GetUint(doc, "memory_budget_bytes", UINT64_MAX, &out->memory_budget_bytes, top, err)) return false;
  auto outs = doc.FindMember("outputs");
  if (outs != doc.MemberEnd()) {
    if (!outs->value.IsArray()) {
      *err = top + "\"outputs\" must be a list";
      return false;
    }
    for (rapidjson::SizeType i = 0; i < outs->value.Size(); ++i) {
      const Value& o = outs->value[i];
      std::string where = top + "outputs[" + std::to_string(i) + "] ";
      std::vector<Shape> cores;
      if (o.IsNull()) {
        out->output_core_shapes.push_back(cores);
        continue;
      }
      if (!o.IsObject()) {
        *err = where + "must be an object";
        return false;
      }
      auto cs = o.FindMember("core_shapes");
      if (cs != o.MemberEnd()) {
        if (!cs->value.IsArray() || cs->value.Size() > 8) {
          *err = where + "\"core_shapes\" must be a list of at most 8 shapes";
          return false;
        }
        for (const Value& s : cs->value.GetArray()) {
          if (!s.IsArray() || s.Size() == 0 || s.Size() > 6) {
            *err = where + "\"core_shapes\" holds a shape that is not a list of 1 to 6 extents";
            return false;
          }
          Shape shape;
          for (const Value& d : s.GetArray()) {
            if (!d.IsInt64() || d.GetInt64() < -1 || d.GetInt64() == 0 || d.GetInt64() > (int64_t(1) << 32)) {
              *err = where + "\"core_shapes\" holds an extent that is not a positive integer or -1";
              return false;
            }
            shape.push_back(d.GetInt64());
          }
          cores.push_back(std::move(shape));
        }
      }
      out->output_core_shapes.push_back(std::move(cores));
    }
  }
  auto ops = doc.FindMember("preprocess_ops");
  if (ops != doc.MemberEnd()) {
    if (!ops->value.IsArray()) {
      *err = top + "\"preprocess_ops\" must be a list";
      return false;
    }
    for (rapidjson::SizeType i = 0; i < ops->value.Size(); ++i) {
      const Value& o = ops->value[i];
      std::string where = top + "preprocess_ops[" + std::to_string(i) + "] ";
      if (!o.IsObject() || !o.HasMember("opcode")) {
        *err = where + "must be an object with \"opcode\"";
        return false;
      }
      PreOp op;
      uint64_t x = 0;
      if (!GetUint(o, "opcode", 255, &x, where, err)) return false;
      op.opcode = static_cast<uint32_t>(x);
      x = 0;
      if (!GetUint(o, "opcode_ext", 255, &x, where, err)) return false;
      op.opcode_ext = static_cast<uint32_t>(x);
      x = 1;
      if (!GetUint(o, "input_num", 64, &x, where, err)) return false;
      op.input_num = static_cast<uint32_t>(x);
      auto os = o.FindMember("outputs");
      if (os != o.MemberEnd()) {
        if (!os->value.IsArray() || os->value.Size() > 64) {
          *err = where + "\"outputs\" must be a list of at most 64 objects";
          return false;
        }
        for (const Value& q : os->value.GetArray()) {
          if (!q.IsObject()) {
            *err = where + "\"outputs\" holds an entry that is not an object";
            return false;
          }
          PreOpOutput po;
          uint64_t p = po.precision, iq = po.is_quant;
          if (!GetUint(q, "precision", 1, &p, where, err) || !GetUint(q, "is_quant", 1, &iq, where, err) ||
              !GetFloat(q, "quant_scale", &po.quant_scale, where, err) ||
              !GetFloat(q, "quant_bias", &po.quant_bias, where, err) ||
              !GetInt(q, "quant_min", -128, 127, &po.quant_min, where, err) ||
              !GetInt(q, "quant_max", -128, 127, &po.quant_max, where, err))
            return false;
          po.precision = static_cast<uint32_t>(p);
          po.is_quant = static_cast<uint32_t>(iq);
          op.outputs.push_back(po);
        }
      }
      out->preprocess_ops.push_back(std::move(op));
    }
  }
  return true;
}

std::string BuildPreOpRecords(const std::vector<PreOp>& ops, const Shape& input_shape) {
  std::string out;
  for (const PreOp& op : ops) {
    const uint32_t n = static_cast<uint32_t>(op.outputs.size());
    const uint32_t addr_off = sizeof(DspOpCommon) + 4;
    const uint32_t quant_off = addr_off + n * static_cast<uint32_t>(sizeof(DspAddr));
    const uint32_t len = quant_off + n * static_cast<uint32_t>(sizeof(QuantAddr));
    std::string rec(len, '\0');
    DspOpCommon head{};
    head.opcode = static_cast<uint8_t>(op.opcode);
    head.opcode_ext = static_cast<uint8_t>(op.opcode_ext);
    head.len = len;
    head.input_num = op.input_num;
    head.input_offset = 0;
    head.output_num = n;
    head.output_offset = addr_off;
    std::memcpy(&rec[0], &head, sizeof(head));
    std::memcpy(&rec[sizeof(head)], &quant_off, 4);
    for (uint32_t k = 0; k < n; ++k) {
      DspAddr a{};
      a.precision = static_cast<uint16_t>(op.outputs[k].precision);
      a.dims_num = static_cast<uint32_t>(input_shape.size() > 6 ? 6 : input_shape.size());
      for (uint32_t d = 0; d < a.dims_num; ++d) {
        a.dims_ptr[d] = static_cast<int32_t>(input_shape[d]);
        a.align_dims_ptr[d] = static_cast<int32_t>(input_shape[d]);
      }
      std::memcpy(&rec[addr_off + k * sizeof(DspAddr)], &a, sizeof(a));
      QuantAddr q{};
      q.is_quant = op.outputs[k].is_quant;
      q.quant_scale = op.outputs[k].quant_scale;
      q.quant_bias = op.outputs[k].quant_bias;
      q.quant_min = static_cast<int8_t>(op.outputs[k].quant_min);
      q.quant_max = static_cast<int8_t>(op.outputs[k].quant_max);
      std::memcpy(&rec[quant_off + k * sizeof(QuantAddr)], &q, sizeof(q));
    }
    out += rec;
  }
  return out;
}

bool MakeOutputLayout(DLDataType dtype, const Shape& shape, const std::vector<Shape>& cores_in, OutputLayout* out,
                      std::string* err) {
  *out = OutputLayout();
  out->dtype = dtype;
  out->shape = shape;
  const uint64_t eb = DataTypeBytes(dtype);
  uint64_t elems = 1;
  for (int64_t d : shape) elems *= static_cast<uint64_t>(d);
  out->real_bytes = elems * eb;
  out->slot_bytes = eb;
  if (cores_in.empty()) {
    out->cores.push_back(shape);
    out->aligned_bytes = out->real_bytes;
    out->plain = true;
    return true;
  }
  if (dtype.code == kDLBfloat && dtype.bits == 16 && dtype.lanes == 1) out->slot_bytes = 4;
  const size_t rank = cores_in[0].size();
  for (const Shape& c : cores_in) {
    if (c.size() != rank) {
      *err = "core shapes of one output must have the same rank";
      return false;
    }
    Shape r = c;
    for (size_t d = 0; d < r.size(); ++d) {
      if (r[d] != -1) continue;
      if (d >= shape.size()) {
        *err = "core shape has -1 at a position the output does not have";
        return false;
      }
      r[d] = (rank == 4 && d >= 2) ? RoundUp8(shape[d]) : shape[d];
    }
    out->cores.push_back(std::move(r));
  }
  uint64_t core_elems = 0;
  for (const Shape& c : out->cores) {
    uint64_t n = 1;
    for (int64_t d : c) n *= static_cast<uint64_t>(d);
    core_elems += n;
  }
  out->aligned_bytes = core_elems * out->slot_bytes;
  if (rank == 4) {
    if (shape.size() != 4 || shape[0] != 1) {
      *err = "four-dimensional core shapes need a real shape [1, C, H, W]";
      return false;
    }
    const int64_t ha = out->cores[0][2], wa = out->cores[0][3];
    int64_t channels_before_last = 0, channels = 0;
    for (size_t j = 0; j < out->cores.size(); ++j) {
      const Shape& c = out->cores[j];
      if (c[0] != 1 || c[2] != ha || c[3] != wa) {
        *err = "four-dimensional core shapes must be [1, c, Ha, Wa] with the same Ha and Wa";
        return false;
      }
      if (j + 1 < out->cores.size()) channels_before_last += c[1];
      channels += c[1];
    }
    if (ha % 8 != 0 || wa % 8 != 0 || ha < shape[2] || wa < shape[3]) {
      *err = "core planes must be multiples of 8 and at least the real height and width";
      return false;
    }
    if (channels < shape[1] || channels_before_last >= shape[1]) {
      *err = "core channels must cover the real channels, with real channels in the last core";
      return false;
    }
    out->kind = 4;
    return true;
  }
  if (rank == 2 && out->cores[0][0] != 1) {
    *err = "two-dimensional core shapes must start with 1";
    return false;
  }
  if (core_elems < elems) {
    *err = "core shapes hold fewer elements than the output";
    return false;
  }
  out->kind = 0;
  out->plain = out->slot_bytes == eb && out->aligned_bytes == out->real_bytes;
  return true;
}

// Copies n elements of eb bytes from src into consecutive slots of slot bytes, each element in the slot's
// high end.
static void CopyIntoSlots(const uint8_t* src, uint8_t* dst, uint64_t n, uint64_t eb, uint64_t slot) {
  if (slot == eb) {
    std::memcpy(dst, src, n * eb);
    return;
  }
  for (uint64_t i = 0; i < n; ++i) std::memcpy(dst + i * slot + (slot - eb), src + i * eb, eb);
}

void WriteCoreLayout(const OutputLayout& l, const void* src_v, void* dst_v) {
  const auto* src = static_cast<const uint8_t*>(src_v);
  auto* dst = static_cast<uint8_t*>(dst_v);
  const uint64_t eb = DataTypeBytes(l.dtype);
  const uint64_t slot = l.slot_bytes != 0 ? l.slot_bytes : eb;
  if (l.kind != 4 && slot == eb) {
    // Plain elements: the data, then zero padding up to the aligned size.
    std::memcpy(dst, src, l.real_bytes);
    if (l.aligned_bytes > l.real_bytes) std::memset(dst + l.real_bytes, 0, l.aligned_bytes - l.real_bytes);
    return;
  }
  std::memset(dst, 0, l.aligned_bytes);
  if (l.kind != 4) {
    CopyIntoSlots(src, dst, l.real_bytes / eb, eb, slot);
    return;
  }
  const int64_t c_real = l.shape[1], h = l.shape[2], w = l.shape[3];
  const int64_t ha = l.cores[0][2], wa = l.cores[0][3];
  const uint64_t plane = static_cast<uint64_t>(ha * wa) * slot;
  int64_t channel = 0;
  uint8_t* core = dst;
  for (const Shape& c : l.cores) {
    for (int64_t k = 0; k < c[1]; ++k, ++channel) {
      if (channel >= c_real) continue;
      uint8_t* p = core + static_cast<uint64_t>(k) * plane;
      for (int64_t y = 0; y < h; ++y)
        CopyIntoSlots(src + static_cast<uint64_t>((channel * h + y) * w) * eb, p + static_cast<uint64_t>(y * wa) * slot,
                      static_cast<uint64_t>(w), eb, slot);
    }
    core += static_cast<uint64_t>(c[1]) * plane;
  }
}

}  // namespace card
}  // namespace runtime
}  // namespace tvm
