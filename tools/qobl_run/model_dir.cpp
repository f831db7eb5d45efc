#include "model_dir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace zenlar {
namespace qoblrun {

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

bool readAll(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// "" when the file holds a JSON object; else the parser's complaint with its offset.
std::string checkJson(const std::string& path) {
  std::vector<uint8_t> text;
  if (!readAll(path, &text)) return "cannot be read";
  text.push_back('\0');
  rapidjson::Document doc;
  doc.Parse(reinterpret_cast<const char*>(text.data()));
  if (doc.HasParseError())
    return std::string("not valid JSON (offset ") + std::to_string(doc.GetErrorOffset()) + ": " +
           rapidjson::GetParseError_En(doc.GetParseError()) + ")";
  if (!doc.IsObject()) return "not a JSON object";
  return "";
}

// "" when the file starts like a shared object.
std::string checkElf(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  char magic[4] = {0, 0, 0, 0};
  f.read(magic, 4);
  if (!f || std::memcmp(magic, "\x7f" "ELF", 4) != 0) return "not a shared object (no ELF header)";
  return "";
}

bool parseHxW(const std::string& s, int64_t* h, int64_t* w) {
  long long a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(s.c_str(), "%lldx%lld%c", &a, &b, &tail) != 2 || a <= 0 || b <= 0) return false;
  *h = a;
  *w = b;
  return true;
}

// Sample shapes present under <dir>samples/, smallest first.
std::vector<std::string> listSamples(const std::string& samples) {
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

std::string joinNames(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& n : v) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

std::string openSuite(ModelDir* m) {
  std::vector<uint8_t> text;
  if (!readAll(m->suite, &text)) return m->suite + ": cannot be read";
  text.push_back('\0');
  rapidjson::Document doc;
  doc.Parse(reinterpret_cast<const char*>(text.data()));
  if (doc.HasParseError() || !doc.IsObject()) return m->suite + ": not a JSON object";
  if (!doc.HasMember("module_name") || !doc["module_name"].IsString())
    return m->suite + ": \"module_name\" is missing or not a string";
  if (!doc.HasMember("module_num") || !doc["module_num"].IsInt() || doc["module_num"].GetInt() < 1)
    return m->suite + ": \"module_num\" is missing or not a positive integer";
  // "shape_ranges": per member, per input, [smallest, largest]; member 0 tells the inputs' count and rank.
  rapidjson::Document ranges;
  if (doc.HasMember("shape_ranges") && doc["shape_ranges"].IsString()) ranges.Parse(doc["shape_ranges"].GetString());
  if (!doc.HasMember("shape_ranges") || !doc["shape_ranges"].IsString() || ranges.HasParseError() ||
      !ranges.IsArray() || ranges.Empty() || !ranges[0].IsArray() || ranges[0].Empty())
    return m->suite + ": \"shape_ranges\" is missing or not a JSON text of shape ranges per member";
  for (const auto& range : ranges[0].GetArray()) {
    if (!range.IsArray() || range.Size() != 2 || !range[0].IsArray() || range[0].Size() != 4)
      return m->suite + ": \"shape_ranges\" of member 0 holds a range that is not [[1,C,H,W],[1,C,H,W]]";
    std::vector<int64_t> shape;
    for (const auto& d : range[0].GetArray()) shape.push_back(d.IsInt64() ? d.GetInt64() : 0);
    m->inputShapes.push_back(shape);
  }
  const std::string prefix = doc["module_name"].GetString();
  for (int i = 0; i < doc["module_num"].GetInt(); ++i) {
    const std::string key = prefix + std::to_string(i);
    auto it = doc.FindMember(key.c_str());
    if (it == doc.MemberEnd() || !it->value.IsArray() || it->value.Size() != 3)
      return m->suite + ": member \"" + key + "\" is missing or not a list of three file names";
    for (const auto& f : it->value.GetArray()) {
      if (!f.IsString()) return m->suite + ": member \"" + key + "\" names a file with a non-string";
      const std::string path = m->dir + f.GetString();
      const std::string why = checkFile(path);
      if (!why.empty()) return path + " (named by member \"" + key + "\" of suite.json): " + why;
    }
  }
  return "";
}

}  // namespace

std::string openModelDir(const std::string& dirIn, const std::string& shape, bool needExpected, ModelDir* out) {
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
    const std::string samples = m.dir + "samples/";
    const std::vector<std::string> names = listSamples(samples);
    std::string pick = shape;
    if (pick.empty()) {
      if (names.empty()) return "model directory " + m.dir + ": no samples/<H>x<W>/ directory with a sample input";
      pick = names.front();
    }
    if (!parseHxW(pick, &m.height, &m.width)) return "--shape \"" + pick + "\" is not of the form HxW";
    for (auto& s : m.inputShapes) {
      s[2] = m.height;
      s[3] = m.width;
    }
    m.sampleDir = samples + pick + "/";
    if (!isDir(m.sampleDir))
      return "model directory " + m.dir + ": no sample for shape " + pick + " (samples: " + joinNames(names) + ")";
  } else {
    if (!shape.empty()) return "--shape applies to dynamic models only (" + m.dir + " has no suite.json)";
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
    m.sampleDir = m.dir;
  }

  const std::string in = m.sampleDir + "sample_input.bin";
  std::string why = checkFile(in);
  if (!why.empty()) return in + ": " + why;
  if (!readAll(in, &m.sampleInput)) return in + ": cannot be read";
  const std::string exp = m.sampleDir + "expected_output.bin";
  why = checkFile(exp);
  if (why.empty()) {
    if (!readAll(exp, &m.expectedOutput)) return exp + ": cannot be read";
  } else if (needExpected) {
    return exp + ": " + why + " (needed by --verify)";
  }
  *out = std::move(m);
  return "";
}

std::string defaultModelDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  std::string exe(buf);
  const std::string bin = exe.substr(0, exe.find_last_of('/'));
  for (const char* rel : {"/../models/classifier", "/../share/qobl/models/classifier"}) {
    if (isDir(bin + rel)) return bin + rel;
  }
  return "";
}

}  // namespace qoblrun
}  // namespace zenlar
