// package.cpp - writes a model directory from a JSON description of the user's graph.
#include "package.h"

#include <dlfcn.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <stdexcept>

#include "card/hw_config.h"
#include "model_files.h"
#include "qobl_tools/dtype.h"

namespace zenlar::qobl::modelgen {

namespace {

using rapidjson::Value;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::vector<uint8_t> readBytes(const std::filesystem::path& p, const std::string& where = "") {
  std::ifstream f(p, std::ios::binary);
  if (!f) fail((where.empty() ? "" : where + ": ") + "cannot read " + p.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A misspelt key ("param", "smaple") would otherwise be skipped without a word and the model written
// without what it was meant to carry, so every key of an object must be one the format knows.
void knownKeys(const Value& obj, std::initializer_list<const char*> keys, const std::string& where) {
  if (!obj.IsObject()) fail(where + ": must be a JSON object");
  for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
    bool known = false;
    std::string names;
    for (const char* k : keys) {
      known = known || std::strcmp(k, it->name.GetString()) == 0;
      names += std::string(names.empty() ? "" : ", ") + k;
    }
    if (!known) fail(where + ": unknown key \"" + std::string(it->name.GetString()) + "\" (known: " + names + ")");
  }
}

const Value& member(const Value& obj, const char* key, const std::string& where) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) fail(where + ": \"" + key + "\" is missing");
  return it->value;
}

std::string text(const Value& obj, const char* key, const std::string& where) {
  const Value& v = member(obj, key, where);
  if (!v.IsString() || v.GetStringLength() == 0) fail(where + ": \"" + key + "\" must be a non-empty string");
  return v.GetString();
}

const Value& list(const Value& obj, const char* key, const std::string& where) {
  const Value& v = member(obj, key, where);
  if (!v.IsArray()) fail(where + ": \"" + key + "\" must be a list");
  return v;
}

std::vector<int64_t> shape(const Value& obj, const std::string& where) {
  std::vector<int64_t> s;
  for (const auto& d : list(obj, "shape", where).GetArray()) {
    if (!d.IsInt64() || d.GetInt64() <= 0) fail(where + ": \"shape\" must hold positive integers");
    s.push_back(d.GetInt64());
  }
  if (s.empty() || s.size() > 6) fail(where + ": \"shape\" must have 1 to 6 extents");
  return s;
}

// The "dtype" of an entry (float32 when absent), checked.
std::string dtype(const Value& obj, const std::string& where, qobltools::DType* t) {
  std::string d = "float32";
  auto it = obj.FindMember("dtype");
  if (it != obj.MemberEnd()) {
    if (!it->value.IsString()) fail(where + ": \"dtype\" must be a string");
    d = it->value.GetString();
  }
  if (!qobltools::parseDType(d, t)) fail(where + ": \"" + d + "\" is not a data type (float32, uint8, int8x4, ...)");
  return d;
}

// "[1, 4]"
std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i != 0 ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

uint64_t bytesOf(const std::vector<int64_t>& s, qobltools::DType t) {
  uint64_t n = qobltools::dtypeBytes(t);
  for (int64_t d : s) n *= static_cast<uint64_t>(d);
  return n;
}

// Concatenates the files named by the list (paths relative to `base`).
std::vector<uint8_t> concat(const Value& files, const std::filesystem::path& base, const std::string& where) {
  if (!files.IsArray()) fail(where + " must be a list of file names");
  std::vector<uint8_t> out;
  for (const auto& f : files.GetArray()) {
    if (!f.IsString()) fail(where + " must be a list of file names");
    const std::vector<uint8_t> b = readBytes(base / f.GetString(), where);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

// Opens the library as the card's runtime will and looks up every node's function, so that a typo or a
// missing export is named at packaging time rather than when the model is first loaded.  The library's
// own initialisers run, as they will at load time.
void checkFunctions(const std::filesystem::path& lib, const std::vector<std::pair<std::string, std::string>>& funcs) {
  // dlopen searches the library path for a bare name; a path with a slash opens exactly that file.
  const std::string path = lib.has_parent_path() ? lib.string() : "./" + lib.string();
  void* h = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (h == nullptr) {
    const char* e = dlerror();
    fail("library: " + path + " cannot be loaded: " + (e != nullptr ? e : "unknown error"));
  }
  std::string missing;
  for (const auto& f : funcs) {
    if (dlsym(h, f.second.c_str()) == nullptr) {
      missing = f.first + ": the library " + path + " exports no function \"" + f.second + "\"";
      break;
    }
  }
  dlclose(h);
  if (!missing.empty()) fail(missing);
}

}  // namespace

const char* packageFormatText() {
  return "Description of a model (JSON):\n"
         "  {\n"
         "    \"inputs\":  [{\"name\": \"data\", \"shape\": [1, 3, 16, 16], \"dtype\": \"float32\"}],\n"
         "    \"params\":  [{\"name\": \"w\", \"shape\": [8, 3, 3, 3], \"file\": \"w.bin\"}],\n"
         "    \"nodes\":   [{\"name\": \"conv\", \"func\": \"my_conv\", \"inputs\": [\"data\", \"w\"],\n"
         "                 \"shape\": [1, 8, 16, 16]}],\n"
         "    \"outputs\": [\"conv\"],\n"
         "    \"hw\":      {\"max_batch_size\": 4},\n"
         "    \"library\": \"build/my_kernels.so\",\n"
         "    \"sample\":  {\"input\": [\"x.bin\"], \"expected\": [\"y.bin\"]}\n"
         "  }\n"
         "Shapes describe one batch item; \"dtype\" is float32 when absent.  Each node calls the exported\n"
         "function \"func\" of the library with its inputs (earlier inputs, parameters or nodes), then its one\n"
         "output.  Parameter, library and sample files are raw little-endian, paths relative to the\n"
         "description; a parameter file holds exactly its shape's bytes, the sample one batch item of every\n"
         "input (and output).  \"hw\" (written as hw.json), \"library\" (checked for every node's function,\n"
         "copied to model.so) and \"sample\" (sample_input.bin, expected_output.bin) are optional.  Unknown\n"
         "keys are refused; nothing is written for a description at fault.\n";
}

void packageModel(const std::string& descPath, const std::string& outDir) {
  const std::filesystem::path base = std::filesystem::path(descPath).parent_path();
  std::vector<uint8_t> descBytes = readBytes(descPath);
  descBytes.push_back('\0');
  rapidjson::Document desc;
  desc.Parse(reinterpret_cast<const char*>(descBytes.data()));
  if (desc.HasParseError())
    fail(descPath + ": not valid JSON (offset " + std::to_string(desc.GetErrorOffset()) + ": " +
         rapidjson::GetParseError_En(desc.GetParseError()) + ")");
  if (!desc.IsObject()) fail(descPath + ": not a JSON object");
  knownKeys(desc, {"inputs", "params", "nodes", "outputs", "hw", "library", "sample"}, descPath);

  // Everything is read and checked before the first file is written, so a description at fault leaves
  // OUT_DIR as it was rather than half a model in it.
  GraphBuilder g;
  std::vector<std::pair<std::string, std::string>> funcs;   // (where, func) of every node
  std::map<std::string, int> ids;         // name -> node id
  std::map<int, uint64_t> entryBytes;     // node id -> bytes of one batch item
  // node id -> type and shape of one batch item, for the output layouts of the hardware configuration
  std::map<int, std::pair<qobltools::DType, std::vector<int64_t>>> entryTypes;
  auto declare = [&](const std::string& name, const std::string& where, int id, qobltools::DType t,
                     const std::vector<int64_t>& s) {
    if (!ids.emplace(name, id).second) fail(where + ": the name \"" + name + "\" is used twice");
    entryBytes[id] = bytesOf(s, t);
    entryTypes[id] = {t, s};
  };
  uint64_t inputBytes = 0;
  const Value& inputs = list(desc, "inputs", descPath);
  if (inputs.Empty()) fail(descPath + ": \"inputs\" must name at least one input");
  for (rapidjson::SizeType i = 0; i < inputs.Size(); ++i) {
    const std::string where = "inputs[" + std::to_string(i) + "]";
    knownKeys(inputs[i], {"name", "shape", "dtype"}, where);
    qobltools::DType t;
    const std::string name = text(inputs[i], "name", where), d = dtype(inputs[i], where, &t);
    const std::vector<int64_t> s = shape(inputs[i], where);
    inputBytes += bytesOf(s, t);
    declare(name, where, g.addPlaceholder(name, s, d), t, s);
  }
  std::vector<RawParam> params;
  auto ps = desc.FindMember("params");
  if (ps != desc.MemberEnd()) {
    const Value& pl = list(desc, "params", descPath);
    for (rapidjson::SizeType i = 0; i < pl.Size(); ++i) {
      const std::string where = "params[" + std::to_string(i) + "]";
      knownKeys(pl[i], {"name", "shape", "dtype", "file"}, where);
      qobltools::DType t;
      RawParam p;
      p.name = text(pl[i], "name", where);
      const std::string d = dtype(pl[i], where, &t);
      // A saved array holds (bits + 7) / 8 bytes per element whatever its lanes, so a vector type cannot
      // carry its data: the runtime refuses such parameters, and so does the packager, before writing.
      if (t.lanes != 1) fail(where + ": \"" + d + "\" is a vector type: parameters of vector types are not supported");
      p.shape = shape(pl[i], where);
      p.code = t.code;
      p.bits = t.bits;
      p.lanes = t.lanes;
      const std::string file = text(pl[i], "file", where);
      p.bytes = readBytes(base / file, where);
      if (p.bytes.size() != bytesOf(p.shape, t))
        fail(where + ": " + file + " holds " + std::to_string(p.bytes.size()) + " bytes, the shape takes " +
             std::to_string(bytesOf(p.shape, t)));
      declare(p.name, where, g.addPlaceholder(p.name, p.shape, d), t, p.shape);
      params.push_back(std::move(p));
    }
  }
  const Value& nodes = list(desc, "nodes", descPath);
  if (nodes.Empty()) fail(descPath + ": \"nodes\" must hold at least one node");
  for (rapidjson::SizeType i = 0; i < nodes.Size(); ++i) {
    const std::string where = "nodes[" + std::to_string(i) + "]";
    knownKeys(nodes[i], {"name", "func", "inputs", "shape", "dtype"}, where);
    qobltools::DType t;
    const std::string name = text(nodes[i], "name", where), func = text(nodes[i], "func", where);
    const std::string d = dtype(nodes[i], where, &t);
    std::vector<int> in;
    for (const auto& n : list(nodes[i], "inputs", where).GetArray()) {
      if (!n.IsString()) fail(where + ": \"inputs\" must name earlier inputs, parameters or nodes");
      auto it = ids.find(n.GetString());
      if (it == ids.end()) fail(where + ": input \"" + std::string(n.GetString()) + "\" is not defined before it");
      in.push_back(it->second);
    }
    const std::vector<int64_t> s = shape(nodes[i], where);
    declare(name, where, g.addOp(name, func, in, s, d), t, s);
    funcs.emplace_back(where, func);
  }
  std::vector<int> heads;
  uint64_t outputBytes = 0;
  const Value& outs = list(desc, "outputs", descPath);
  if (outs.Empty()) fail(descPath + ": \"outputs\" must name at least one node");
  for (const auto& o : outs.GetArray()) {
    auto it = o.IsString() ? ids.find(o.GetString()) : ids.end();
    if (it == ids.end()) fail("outputs: every entry must name an input, parameter or node of the description");
    heads.push_back(it->second);
    outputBytes += entryBytes[it->second];
  }
  g.setHeads(heads);

  std::string hwText;
  auto hw = desc.FindMember("hw");
  if (hw != desc.MemberEnd()) {
    if (!hw->value.IsObject()) fail("hw: must be a JSON object (the hardware configuration)");
    // The card ignores keys it does not know (so a compiler may add its own); written by hand here, an
    // unknown key is a misspelling whose setting would silently stay at its default.
    knownKeys(hw->value, {"max_batch_size", "outputs", "preprocess_ops", "memory_budget_bytes"}, "hw");
    auto layouts = hw->value.FindMember("outputs");
    if (layouts != hw->value.MemberEnd() && layouts->value.IsArray() && layouts->value.Size() > heads.size())
      fail("hw.outputs: " + std::to_string(layouts->value.Size()) + " core layouts for " +
           std::to_string(heads.size()) + " outputs");
    rapidjson::StringBuffer sb;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(sb);
    hw->value.Accept(w);
    hwText = std::string(sb.GetString()) + "\n";
    // The card reads the configuration when it loads the model: what it would refuse then (a value out of
    // range, core shapes that cannot hold their output) is refused now, with the card's own reason.
    tvm::runtime::card::HwConfig config;
    std::string why;
    if (!tvm::runtime::card::ParseHwConfig(hwText, &config, &why)) fail("hw: " + why);
    for (size_t o = 0; o < config.output_core_shapes.size(); ++o) {
      const auto& entry = entryTypes.at(heads[o]);
      tvm::runtime::card::OutputLayout layout;
      const DLDataType type{entry.first.code, entry.first.bits, entry.first.lanes};
      if (!tvm::runtime::card::MakeOutputLayout(type, entry.second, config.output_core_shapes[o], &layout, &why))
        fail("hw.outputs[" + std::to_string(o) + "]: " + why + " (the output is " + qobltools::dtypeText(entry.first) +
             " " + shapeText(entry.second) + ")");
    }
  }
  std::vector<uint8_t> library;
  auto lib = desc.FindMember("library");
  if (lib != desc.MemberEnd()) {
    if (!lib->value.IsString()) fail("library: must be a file name");
    library = readBytes(base / lib->value.GetString(), "library");
    checkFunctions(base / lib->value.GetString(), funcs);
  }
  std::vector<uint8_t> sampleIn, sampleExp;
  bool hasExpected = false;
  auto sample = desc.FindMember("sample");
  if (sample != desc.MemberEnd()) {
    if (!sample->value.IsObject()) fail("sample: must be an object with \"input\" (and \"expected\")");
    knownKeys(sample->value, {"input", "expected"}, "sample");
    // The sample is one batch item of every input and every output; a file of another size would only
    // surface when qobl-run --verify refuses it.
    sampleIn = concat(member(sample->value, "input", "sample"), base, "sample.input");
    if (sampleIn.size() != inputBytes)
      fail("sample.input: the files hold " + std::to_string(sampleIn.size()) + " bytes, one item of the inputs takes " +
           std::to_string(inputBytes));
    auto exp = sample->value.FindMember("expected");
    if (exp != sample->value.MemberEnd()) {
      hasExpected = true;
      sampleExp = concat(exp->value, base, "sample.expected");
      if (sampleExp.size() != outputBytes)
        fail("sample.expected: the files hold " + std::to_string(sampleExp.size()) +
             " bytes, one item of the outputs takes " + std::to_string(outputBytes));
    }
  }

  const std::filesystem::path out(outDir);
  writeFile((out / "graph.json").string(), g.toJson());
  writeFile((out / "params.bin").string(), makeParamBlob(params));
  // Packaging again into the same directory: a hardware configuration or sample the description no longer
  // has would otherwise stay behind and still configure or verify the model.  A model.so is left alone
  // when "library" is absent, since then it is the user's to put there.
  auto writeOrRemove = [&](const char* name, bool present, const std::vector<uint8_t>& bytes) {
    if (present) {
      writeFile((out / name).string(), bytes);
    } else {
      std::error_code ec;
      std::filesystem::remove(out / name, ec);
      if (ec) fail("cannot remove the stale " + (out / name).string() + ": " + ec.message());
    }
  };
  writeOrRemove("hw.json", hw != desc.MemberEnd(), std::vector<uint8_t>(hwText.begin(), hwText.end()));
  if (lib != desc.MemberEnd()) writeFile((out / "model.so").string(), library);
  writeOrRemove("sample_input.bin", sample != desc.MemberEnd(), sampleIn);
  writeOrRemove("expected_output.bin", hasExpected, sampleExp);
}

}  // namespace zenlar::qobl::modelgen
