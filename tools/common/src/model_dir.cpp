#include "qobl_tools/model_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "md5.h"

namespace zenlar {
namespace qobltools {

namespace {

bool isDir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// "" when `path` is a readable, non-empty regular file; else what is wrong with it.
std::string checkFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_size == 0) return "empty";
  if (::access(path.c_str(), R_OK) != 0) return std::string("not readable: ") + std::strerror(errno);
  return "";
}

// Parses the file as JSON; "" when it holds a JSON object, else the parser's complaint with its offset.
std::string parseJsonFile(const std::string& path, rapidjson::Document* doc) {
  std::vector<uint8_t> text;
  if (!readFile(path, &text)) return "cannot be read";
  text.push_back('\0');
  doc->Parse(reinterpret_cast<const char*>(text.data()));
  if (doc->HasParseError())
    return std::string("not valid JSON (offset ") + std::to_string(doc->GetErrorOffset()) + ": " +
           rapidjson::GetParseError_En(doc->GetParseError()) + ")";
  if (!doc->IsObject()) return "not a JSON object";
  return "";
}

std::string checkJson(const std::string& path) {
  rapidjson::Document doc;
  return parseJsonFile(path, &doc);
}

// "" when the file starts like a shared object.
std::string checkElf(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  char magic[4] = {0, 0, 0, 0};
  f.read(magic, 4);
  if (!f || std::memcmp(magic, "\x7f" "ELF", 4) != 0) return "not a shared object (no ELF header)";
  return "";
}

std::string joinNames(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& n : v) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

std::vector<int64_t> intList(const rapidjson::Value& v) {
  std::vector<int64_t> out;
  for (const auto& d : v.GetArray()) out.push_back(d.IsInt64() ? d.GetInt64() : 0);
  return out;
}

std::string openSuite(ModelDir* m) {
  rapidjson::Document doc;
  if (!parseJsonFile(m->suite, &doc).empty()) return m->suite + ": not a JSON object";
  if (!doc.HasMember("module_name") || !doc["module_name"].IsString())
    return m->suite + ": \"module_name\" is missing or not a string";
  if (!doc.HasMember("module_num") || !doc["module_num"].IsInt() || doc["module_num"].GetInt() < 1)
    return m->suite + ": \"module_num\" is missing or not a positive integer";
  // "shape_ranges": per member, per input, [smallest, largest].
  rapidjson::Document ranges;
  if (doc.HasMember("shape_ranges") && doc["shape_ranges"].IsString()) ranges.Parse(doc["shape_ranges"].GetString());
  if (!doc.HasMember("shape_ranges") || !doc["shape_ranges"].IsString() || ranges.HasParseError() ||
      !ranges.IsArray() || ranges.Empty() || !ranges[0].IsArray() || ranges[0].Empty())
    return m->suite + ": \"shape_ranges\" is missing or not a JSON text of shape ranges per member";
  const std::string prefix = doc["module_name"].GetString();
  for (int i = 0; i < doc["module_num"].GetInt(); ++i) {
    SuiteMember mem;
    mem.key = prefix + std::to_string(i);
    auto it = doc.FindMember(mem.key.c_str());
    if (it == doc.MemberEnd() || !it->value.IsArray() || it->value.Size() != 3)
      return m->suite + ": member \"" + mem.key + "\" is missing or not a list of three file names";
    std::string* paths[3] = {&mem.lib, &mem.params, &mem.graph};
    for (rapidjson::SizeType f = 0; f < 3; ++f) {
      const auto& name = it->value[f];
      if (!name.IsString()) return m->suite + ": member \"" + mem.key + "\" names a file with a non-string";
      *paths[f] = m->dir + name.GetString();
      const std::string why = checkFile(*paths[f]);
      if (!why.empty()) return *paths[f] + " (named by member \"" + mem.key + "\" of suite.json): " + why;
    }
    if (static_cast<rapidjson::SizeType>(i) < ranges.Size() && ranges[i].IsArray()) {
      for (const auto& range : ranges[i].GetArray()) {
        if (!range.IsArray() || range.Size() != 2 || !range[0].IsArray() || range[0].Size() != 4 ||
            !range[1].IsArray() || range[1].Size() != 4)
          return m->suite + ": \"shape_ranges\" of member " + std::to_string(i) +
                 " holds a range that is not [[1,C,H,W],[1,C,H,W]]";
        mem.minShapes.push_back(intList(range[0]));
        mem.maxShapes.push_back(intList(range[1]));
      }
    }
    m->members.push_back(std::move(mem));
  }
  if (m->members.front().minShapes.empty())
    return m->suite + ": \"shape_ranges\" of member 0 holds a range that is not [[1,C,H,W],[1,C,H,W]]";
  m->lib = m->members.front().lib;
  m->graph = m->members.front().graph;
  m->params = m->members.front().params;
  return "";
}

bool memberCovers(const SuiteMember& m, int64_t h, int64_t w) {
  if (m.minShapes.empty()) return false;
  for (size_t i = 0; i < m.minShapes.size(); ++i) {
    if (h < m.minShapes[i][2] || h > m.maxShapes[i][2] || w < m.minShapes[i][3] || w > m.maxShapes[i][3])
      return false;
  }
  return true;
}

// Little-endian reader over the parameter blob.
struct BlobReader {
  const std::vector<uint8_t>& b;
  size_t pos = 0;
  bool u64(uint64_t* v) {
    if (pos > b.size() || b.size() - pos < 8) return false;
    *v = 0;
    for (int i = 7; i >= 0; --i) *v = (*v << 8) | b[pos + static_cast<size_t>(i)];
    pos += 8;
    return true;
  }
};

// The parameter names of a saved-parameter blob.
std::string paramNames(const std::vector<uint8_t>& blob, std::set<std::string>* names) {
  BlobReader r{blob};
  uint64_t magic = 0, reserved = 0, count = 0;
  if (!r.u64(&magic) || magic != 0xF7E58D4F05049CB7ull) return "not a parameter blob (bad magic)";
  if (!r.u64(&reserved) || !r.u64(&count) || count > blob.size()) return "parameter blob is truncated";
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t len = 0;
    if (!r.u64(&len) || len > blob.size() - r.pos) return "parameter blob is truncated";
    names->insert(std::string(reinterpret_cast<const char*>(blob.data() + r.pos), static_cast<size_t>(len)));
    r.pos += static_cast<size_t>(len);
  }
  return "";
}

}  // namespace

std::string readGraphSignature(const std::string& graphJson, const std::vector<uint8_t>& params,
                               GraphSignature* out) {
  std::set<std::string> paramSet;
  std::string err = paramNames(params, &paramSet);
  if (!err.empty()) return err;
  rapidjson::Document g;
  g.Parse(graphJson.c_str());
  if (g.HasParseError() || !g.IsObject()) return "graph JSON is not a JSON object";
  for (const char* key : {"nodes", "arg_nodes", "node_row_ptr", "heads"}) {
    if (!g.HasMember(key) || !g[key].IsArray()) return std::string("graph JSON: \"") + key + "\" is not a list";
  }
  const auto& nodes = g["nodes"];
  const auto& rows = g["node_row_ptr"];
  const rapidjson::Value* dltype = nullptr;
  const rapidjson::Value* shape = nullptr;
  if (g.HasMember("attrs") && g["attrs"].IsObject()) {
    const auto& a = g["attrs"];
    if (a.HasMember("dltype") && a["dltype"].IsArray() && a["dltype"].Size() == 2 && a["dltype"][1].IsArray())
      dltype = &a["dltype"][1];
    if (a.HasMember("shape") && a["shape"].IsArray() && a["shape"].Size() == 2 && a["shape"][1].IsArray())
      shape = &a["shape"][1];
  }
  // The entry of (node, index): its dtype and shape.
  auto entry = [&](rapidjson::SizeType node, rapidjson::SizeType index, GraphTensor* t) {
    if (node >= rows.Size() || !rows[node].IsUint()) return false;
    const rapidjson::SizeType e = rows[node].GetUint() + index;
    if (dltype != nullptr && e < dltype->Size() && (*dltype)[e].IsString() &&
        !parseDType((*dltype)[e].GetString(), &t->dtype))
      return false;
    if (shape != nullptr && e < shape->Size() && (*shape)[e].IsArray()) t->shape = intList((*shape)[e]);
    return true;
  };
  GraphSignature sig;
  for (const auto& id : g["arg_nodes"].GetArray()) {
    if (!id.IsUint() || id.GetUint() >= nodes.Size() || !nodes[id.GetUint()].IsObject() ||
        !nodes[id.GetUint()].HasMember("name") || !nodes[id.GetUint()]["name"].IsString())
      return "graph JSON: \"arg_nodes\" names a node that does not exist";
    GraphTensor t;
    t.name = nodes[id.GetUint()]["name"].GetString();
    if (paramSet.count(t.name) != 0) continue;
    if (!entry(id.GetUint(), 0, &t)) return "graph JSON: input \"" + t.name + "\" has an unknown dtype";
    sig.inputs.push_back(std::move(t));
  }
  for (const auto& h : g["heads"].GetArray()) {
    if (!h.IsArray() || h.Size() < 2 || !h[0].IsUint() || !h[1].IsUint() || h[0].GetUint() >= nodes.Size())
      return "graph JSON: a head is not [node, index, version]";
    const auto& node = nodes[h[0].GetUint()];
    GraphTensor t;
    t.name = node.HasMember("name") && node["name"].IsString() ? node["name"].GetString() : "";
    uint64_t outs = 1;
    if (node.HasMember("attrs") && node["attrs"].IsObject() && node["attrs"].HasMember("num_outputs") &&
        node["attrs"]["num_outputs"].IsString())
      outs = std::strtoull(node["attrs"]["num_outputs"].GetString(), nullptr, 10);
    if (outs > 1) t.name += ":" + std::to_string(h[1].GetUint());
    if (!entry(h[0].GetUint(), h[1].GetUint(), &t)) return "graph JSON: output \"" + t.name + "\" has an unknown dtype";
    sig.outputs.push_back(std::move(t));
  }
  *out = std::move(sig);
  return "";
}

std::vector<std::vector<int64_t>> ModelDir::inputShapesAt(int64_t height, int64_t width) const {
  std::vector<std::vector<int64_t>> shapes;
  if (!dynamic || members.empty()) return shapes;
  const SuiteMember* pick = &members.front();
  for (const auto& m : members) {
    if (memberCovers(m, height, width)) {
      pick = &m;
      break;
    }
  }
  for (auto s : pick->minShapes) {
    s[2] = height;
    s[3] = width;
    shapes.push_back(s);
  }
  return shapes;
}

bool ModelDir::suiteCovers(int64_t height, int64_t width) const {
  for (const auto& m : members) {
    if (memberCovers(m, height, width)) return true;
  }
  return false;
}

std::string ModelDir::coveredSizesText() const {
  std::string t;
  for (const auto& m : members) {
    const auto& lo = m.minShapes.front();
    const auto& hi = m.maxShapes.front();
    t += (t.empty() ? "" : ", ") + std::to_string(lo[2]) + "x" + std::to_string(lo[3]) + " to " +
         std::to_string(hi[2]) + "x" + std::to_string(hi[3]);
  }
  return t;
}

std::string openModelDir(const std::string& dirIn, ModelDir* out) {
  ModelDir m;
  m.dir = dirIn;
  while (m.dir.size() > 1 && m.dir.back() == '/') m.dir.pop_back();
  if (!exists(m.dir)) return "model directory " + m.dir + " does not exist";
  if (!isDir(m.dir)) return "model directory " + m.dir + " is not a directory";
  const size_t slash = m.dir.find_last_of('/');
  m.name = slash == std::string::npos ? m.dir : m.dir.substr(slash + 1);
  m.dir += '/';

  m.suite = m.dir + "suite.json";
  m.dynamic = exists(m.suite);
  if (exists(m.dir + "hw.json")) {
    m.hw = m.dir + "hw.json";
    std::string why = checkFile(m.hw);
    if (why.empty()) why = checkJson(m.hw);
    if (!why.empty()) return m.hw + ": " + why;
  }
  if (m.dynamic) {
    std::string why = checkFile(m.suite);
    if (why.empty()) why = checkJson(m.suite);
    if (!why.empty()) return m.suite + ": " + why;
    const std::string err = openSuite(&m);
    if (!err.empty()) return err;
  } else {
    m.suite.clear();
    m.lib = m.dir + "model.so";
    m.graph = m.dir + "graph.json";
    m.params = m.dir + "params.bin";
    for (const std::string* p : {&m.lib, &m.graph, &m.params}) {
      const std::string why = checkFile(*p);
      if (!why.empty()) return *p + ": " + why + " (a model directory holds model.so, graph.json, params.bin)";
    }
    std::string why = checkElf(m.lib);
    if (!why.empty()) return m.lib + ": " + why;
    why = checkJson(m.graph);
    if (!why.empty()) return m.graph + ": " + why;
  }
  *out = std::move(m);
  return "";
}

std::string modelDigest(const ModelDir& dir) {
  auto fileDigest = [](const std::vector<std::string>& paths, std::string* hex) {
    zenlar::qobl::MD5 md5;
    for (const auto& p : paths) {
      std::vector<uint8_t> bytes;
      if (!readFile(p, &bytes)) return false;
      md5.update(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    *hex = md5.finalize().hexdigest();
    return true;
  };
  std::string hex;
  if (!dir.dynamic) {
    std::vector<std::string> files = {dir.lib, dir.graph, dir.params};
    if (!dir.hw.empty()) files.push_back(dir.hw);
    return fileDigest(files, &hex) ? hex : "";
  }
  std::string joined;
  for (const auto& m : dir.members) {
    if (!fileDigest({m.lib, m.graph, m.params}, &hex)) return "";
    joined += hex;
  }
  if (!dir.hw.empty()) {
    if (!fileDigest({dir.hw}, &hex)) return "";
    joined += hex;
  }
  return zenlar::qobl::md5::digestString(joined.data(), static_cast<uint32_t>(joined.size()));
}

std::string readSignature(const ModelDir& dir, GraphSignature* out) {
  std::vector<uint8_t> graph, params;
  if (!readFile(dir.graph, &graph)) return dir.graph + ": cannot be read";
  if (!readFile(dir.params, &params)) return dir.params + ": cannot be read";
  const std::string err = readGraphSignature(std::string(graph.begin(), graph.end()), params, out);
  return err.empty() ? "" : (err.find("graph") == 0 ? dir.graph : dir.params) + ": " + err;
}

std::string readHwConfig(const ModelDir& dir, std::vector<std::string>* keys, std::vector<std::string>* preOps) {
  keys->clear();
  preOps->clear();
  if (dir.hw.empty()) return "";
  rapidjson::Document doc;
  const std::string why = parseJsonFile(dir.hw, &doc);
  if (!why.empty()) return dir.hw + ": " + why;
  for (const auto& m : doc.GetObject()) keys->push_back(m.name.GetString());
  auto ops = doc.FindMember("preprocess_ops");
  if (ops != doc.MemberEnd() && ops->value.IsArray()) {
    for (const auto& op : ops->value.GetArray()) {
      rapidjson::StringBuffer sb;
      rapidjson::Writer<rapidjson::StringBuffer> w(sb);
      op.Accept(w);
      preOps->push_back(sb.GetString());
    }
  }
  return "";
}

bool parseHxW(const std::string& s, int64_t* h, int64_t* w) {
  // Plain decimal digits on both sides (no sign, blank or exponent), each at most 2^31 - 1: a size larger
  // than any tensor extent would overflow the products taken of it.
  const auto extent = [](const std::string& t, int64_t* out) {
    if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    const long long v = std::stoll(t);
    if (v <= 0 || v > 0x7fffffffLL) return false;
    *out = v;
    return true;
  };
  const size_t x = s.find('x');
  int64_t a = 0, b = 0;
  if (x == std::string::npos || !extent(s.substr(0, x), &a) || !extent(s.substr(x + 1), &b)) return false;
  *h = a;
  *w = b;
  return true;
}

std::vector<std::string> sampleShapes(const ModelDir& dir) {
  const std::string samples = dir.dir + "samples/";
  std::vector<std::pair<int64_t, std::string>> found;
  if (DIR* d = ::opendir(samples.c_str())) {
    while (dirent* e = ::readdir(d)) {
      int64_t h = 0, w = 0;
      if (parseHxW(e->d_name, &h, &w) && isDir(samples + e->d_name)) found.emplace_back(h * w, e->d_name);
    }
    ::closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

void defaultShape(const ModelDir& dir, int64_t* height, int64_t* width) {
  const std::vector<std::string> samples = sampleShapes(dir);
  if (!samples.empty() && parseHxW(samples.front(), height, width)) return;
  *height = dir.members.front().minShapes.front()[2];
  *width = dir.members.front().minShapes.front()[3];
}

std::string findSample(const ModelDir& dir, const std::string& shape, bool needExpected, Sample* out) {
  Sample s;
  if (dir.dynamic) {
    const std::vector<std::string> names = sampleShapes(dir);
    std::string pick = shape;
    if (pick.empty()) {
      if (names.empty()) return "model directory " + dir.dir + ": no samples/<H>x<W>/ directory with a sample input";
      pick = names.front();
    }
    if (!parseHxW(pick, &s.height, &s.width)) return "--shape \"" + pick + "\" is not of the form HxW";
    s.dir = dir.dir + "samples/" + pick + "/";
    if (!isDir(s.dir))
      return "model directory " + dir.dir + ": no sample for shape " + pick + " (samples: " + joinNames(names) + ")";
  } else {
    if (!shape.empty()) return "--shape applies to dynamic models only (" + dir.dir + " has no suite.json)";
    s.dir = dir.dir;
  }
  const std::string in = s.dir + "sample_input.bin";
  std::string why = checkFile(in);
  if (!why.empty()) return in + ": " + why;
  if (!readFile(in, &s.input)) return in + ": cannot be read";
  const std::string exp = s.dir + "expected_output.bin";
  why = checkFile(exp);
  if (why.empty()) {
    if (!readFile(exp, &s.expected)) return exp + ": cannot be read";
  } else if (needExpected) {
    return exp + ": " + why + " (needed by --verify)";
  }
  *out = std::move(s);
  return "";
}

std::string defaultModelDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  std::string exe(buf);
  const std::string bin = exe.substr(0, exe.find_last_of('/'));
  for (const char* rel : {"/../models/classifier", "/../" QOBL_TOOLS_INSTALL_LIBDIR "/qobl/models/classifier"}) {
    if (isDir(bin + rel)) return bin + rel;
  }
  return "";
}

bool readFile(const std::string& path, std::vector<uint8_t>* out) { return readFile(path, out, UINT64_MAX); }

bool readFile(const std::string& path, std::vector<uint8_t>* out, uint64_t limit) {
  // Plain reads: a stream would open a directory and then throw from the read that fails with EISDIR.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    out->reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), limit)));
  uint8_t buf[1 << 16];
  while (out->size() < limit) {
    const ssize_t n = ::read(fd, buf, static_cast<size_t>(std::min<uint64_t>(sizeof buf, limit - out->size())));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int why = errno;
      ::close(fd);
      errno = why;
      return false;
    }
    out->insert(out->end(), buf, buf + n);
  }
  ::close(fd);
  return true;
}

}  // namespace qobltools
}  // namespace zenlar
