// qobl-info: a first look at the installation and at a model.  Alone it prints the library's version and
// the cards with their memory; given a model directory it loads the model on a card and prints what it is:
// its name (the digest the library knows it by), inputs and outputs (index, name, shape, element type, byte
// size, layout on the card), batch limits, pre-processing ops and hardware-configuration keys.  --json
// prints the same as JSON.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <qobcrt/qobcrt.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "qobl_tools/card_memory.h"
#include "qobl_tools/cli.h"
#include "qobl_tools/library.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"

namespace {

using namespace zenlar::qobltools;

enum ExitCode : int { kExitOk = 0, kExitUsage = 2, kExitModelDir = 3, kExitSetup = 4, kExitOutput = 6 };

const char* const kFooter =
    "Without MODEL_DIR: the library's version and every card with its memory (--device and --shape need a\n"
    "MODEL_DIR).  With MODEL_DIR (a static model directory or a dynamic suite, as qobl-run takes them): the\n"
    "model loaded on the card, its name (the MD5 digest of its files that the library knows it by), its\n"
    "inputs and outputs (index, name, shape, element type, byte size of one batch item, layout on the card),\n"
    "its batch limits, its pre-processing ops and the keys of its hardware configuration.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  2  bad command line\n"
    "  3  model directory missing or incomplete\n"
    "  4  the library refused to load the model\n"
    "  6  the report could not be written to stdout\n";

struct Options {
  std::string modelDir, shape, logLevel;
  uint32_t device = 0;
  bool json = false, version = false;
};

struct CardInfo {
  uint32_t device = 0;
  uint64_t total = 0, used = 0;
};

// Batch limits of one member of a dynamic suite: the largest batch at its smallest and largest shapes.
struct MemberLimits {
  std::string key;
  std::vector<int64_t> minShape, maxShape;
  uint32_t maxBatchAtMin = 0, maxBatchAtMax = 0;
};

struct ModelReport {
  ModelDir dir;
  std::string digest;
  int64_t height = 0, width = 0;   // dynamic: the shape it was loaded at
  ModelInfo info;
  std::vector<MemberLimits> members;
  std::vector<std::string> hwKeys, preOps;
};

std::string layoutText(const TensorInfo& t) {
  return t.coreLayout() ? "core layout, " + std::to_string(t.cardBytes) + " bytes on the card" : std::string("plain");
}

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s = "[";
  for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + std::to_string(d[i]);
  return s + "]";
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return s.empty() ? "none" : s;
}

// Prints rows of cells with every column as wide as its widest cell.
void printTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> w;
  for (const auto& r : rows) {
    for (size_t i = 0; i < r.size(); ++i) {
      if (w.size() <= i) w.push_back(0);
      w[i] = std::max(w[i], r[i].size());
    }
  }
  for (const auto& r : rows) {
    std::string line = " ";
    for (size_t i = 0; i < r.size(); ++i) line += " " + r[i] + (i + 1 < r.size() ? std::string(w[i] - r[i].size() + 1, ' ') : "");
    std::printf("%s\n", line.c_str());
  }
}

std::string libraryVersion() {
  const char* text = nullptr;
  return qoblGetVersion(&text, nullptr, nullptr, nullptr, nullptr) == 0 && text != nullptr ? text : "";
}

int cards(std::vector<CardInfo>* out) {
  uint32_t count = 0;
  int rc = qobcrt_get_device_count(&count);
  for (uint32_t d = 0; rc == 0 && d < count; ++d) {
    CardInfo c;
    c.device = d;
    rc = qobcrt_get_memory_info(d, &c.total, &c.used);
    out->push_back(c);
  }
  return rc;
}

// Loads the model and gathers everything the report shows.  Returns an exit code; *err says what failed.
int inspect(const Options& o, ModelReport* r, std::string* err) {
  *err = openModelDir(o.modelDir, &r->dir);
  if (!err->empty()) return kExitModelDir;
  const ModelDir& dir = r->dir;
  *err = readHwConfig(dir, &r->hwKeys, &r->preOps);
  if (!err->empty()) return kExitModelDir;
  r->digest = modelDigest(dir);
  LoadOptions lo;
  lo.device = o.device;
  if (dir.dynamic) {
    if (!o.shape.empty()) {
      parseHxW(o.shape, &r->height, &r->width);
      if (!dir.suiteCovers(r->height, r->width)) {
        *err = "--shape " + o.shape + ": no member of " + dir.suite + " covers it (its members cover " +
               dir.coveredSizesText() + ")";
        return kExitUsage;
      }
    } else {
      defaultShape(dir, &r->height, &r->width);
    }
    lo.inputShapes = dir.inputShapesAt(r->height, r->width);
  } else if (!o.shape.empty()) {
    *err = "--shape applies to dynamic models only (" + dir.dir + " has no suite.json)";
    return kExitUsage;
  }
  Pipeline p;
  *err = p.load(dir, lo);
  if (!err->empty()) return p.fileProblem() ? kExitModelDir : kExitSetup;
  r->info = p.info();
  for (const auto& m : dir.members) {
    MemberLimits l;
    l.key = m.key;
    l.minShape = m.minShapes.front();
    l.maxShape = m.maxShapes.front();
    for (const auto* shapes : {&m.minShapes, &m.maxShapes}) {
      std::vector<qobmShape> s(shapes->size());
      for (size_t i = 0; i < s.size(); ++i) {
        s[i].ndims = static_cast<uint32_t>((*shapes)[i].size());
        for (size_t d = 0; d < (*shapes)[i].size() && d < 6; ++d) s[i].shapes[d] = (*shapes)[i][d];
      }
      uint32_t& out = shapes == &m.minShapes ? l.maxBatchAtMin : l.maxBatchAtMax;
      if (qoblGetDynamicModelMaxBatchSize(p.model(), s.data(), static_cast<uint32_t>(s.size()), &out) != 0) out = 0;
    }
    r->members.push_back(l);
  }
  return kExitOk;
}

void printCards(const std::vector<CardInfo>& cs) {
  std::printf("%s\n", libraryVersion().c_str());
  std::printf("cards: %zu\n", cs.size());
  for (const auto& c : cs)
    std::printf("  card %u: %llu MiB memory, %llu bytes in use\n", c.device,
                static_cast<unsigned long long>(c.total / (1024 * 1024)), static_cast<unsigned long long>(c.used));
}

void printModel(const ModelReport& r, uint32_t device) {
  const ModelInfo& info = r.info;
  std::printf("model: %s (%s)\n", r.dir.dir.c_str(), r.dir.dynamic ? "dynamic-shape suite" : "static");
  std::printf("name: %s\n", r.digest.c_str());
  if (r.dir.dynamic)
    std::printf("loaded on card %u at shape %lldx%lld, batch %u\n", device, static_cast<long long>(r.height),
                static_cast<long long>(r.width), info.batch);
  else
    std::printf("loaded on card %u, batch %u\n", device, info.batch);
  for (const auto* list : {&info.inputs, &info.outputs}) {
    std::printf("%s:\n", list == &info.inputs ? "inputs" : "outputs");
    std::vector<std::vector<std::string>> rows;
    for (const auto& t : *list)
      rows.push_back({std::to_string(t.index), t.name, shapeText(t.shape), dtypeText(t.dtype),
                      std::to_string(t.bytes) + " bytes", layoutText(t)});
    printTable(rows);
  }
  std::printf("largest batch: %u%s\n", info.maxBatch, r.dir.dynamic ? " at the loaded shape" : "");
  for (const auto& m : r.members)
    std::printf("  %s: %s to %s, largest batch %u to %u\n", m.key.c_str(), dimsText(m.minShape).c_str(),
                dimsText(m.maxShape).c_str(), m.maxBatchAtMin, m.maxBatchAtMax);
  std::printf("pre-processing ops: %zu\n", r.preOps.size());
  for (size_t i = 0; i < r.preOps.size(); ++i) std::printf("  %zu: %s\n", i, r.preOps[i].c_str());
  std::printf("hardware configuration: %s\n", r.dir.hw.empty() ? "none (defaults)" : r.dir.hw.c_str());
  std::printf("hardware configuration keys: %s\n", join(r.hwKeys).c_str());
}

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void tensorsJson(Writer& w, const char* key, const std::vector<TensorInfo>& ts) {
  w.Key(key);
  w.StartArray();
  for (const auto& t : ts) {
    w.StartObject();
    w.Key("index");
    w.Uint(t.index);
    w.Key("name");
    w.String(t.name.c_str());
    w.Key("shape");
    w.StartArray();
    for (int64_t d : t.dims()) w.Int64(d);
    w.EndArray();
    w.Key("dtype");
    w.String(dtypeText(t.dtype).c_str());
    w.Key("bytes");
    w.Uint64(t.bytes);
    w.Key("card_bytes");
    w.Uint64(t.cardBytes);
    w.Key("layout");
    w.String(t.coreLayout() ? "core" : "plain");
    w.EndObject();
  }
  w.EndArray();
}

void dimsJson(Writer& w, const char* key, const std::vector<int64_t>& d) {
  w.Key(key);
  w.StartArray();
  for (int64_t x : d) w.Int64(x);
  w.EndArray();
}

std::string toJson(const std::vector<CardInfo>* cs, const ModelReport* r, uint32_t device) {
  rapidjson::StringBuffer sb;
  Writer w(sb);
  w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  w.StartObject();
  w.Key("library");
  w.String(libraryVersion().c_str());
  if (cs != nullptr) {
    w.Key("devices");
    w.StartArray();
    for (const auto& c : *cs) {
      w.StartObject();
      w.Key("device");
      w.Uint(c.device);
      w.Key("memory_bytes");
      w.Uint64(c.total);
      w.Key("used_bytes");
      w.Uint64(c.used);
      w.EndObject();
    }
    w.EndArray();
  }
  if (r != nullptr) {
    w.Key("model");
    w.StartObject();
    w.Key("directory");
    w.String(r->dir.dir.c_str());
    w.Key("name");
    w.String(r->digest.c_str());
    w.Key("dynamic");
    w.Bool(r->dir.dynamic);
    w.Key("device");
    w.Uint(device);
    if (r->dir.dynamic) dimsJson(w, "shape", {r->height, r->width});
    w.Key("batch");
    w.Uint(r->info.batch);
    w.Key("max_batch");
    w.Uint(r->info.maxBatch);
    tensorsJson(w, "inputs", r->info.inputs);
    tensorsJson(w, "outputs", r->info.outputs);
    if (r->dir.dynamic) {
      w.Key("members");
      w.StartArray();
      for (const auto& m : r->members) {
        w.StartObject();
        w.Key("member");
        w.String(m.key.c_str());
        dimsJson(w, "min_shape", m.minShape);
        dimsJson(w, "max_shape", m.maxShape);
        w.Key("max_batch_at_min");
        w.Uint(m.maxBatchAtMin);
        w.Key("max_batch_at_max");
        w.Uint(m.maxBatchAtMax);
        w.EndObject();
      }
      w.EndArray();
    }
    w.Key("preprocess_ops");
    w.StartArray();
    for (const auto& op : r->preOps) w.RawValue(op.c_str(), op.size(), rapidjson::kObjectType);
    w.EndArray();
    w.Key("hw_config_keys");
    w.StartArray();
    for (const auto& k : r->hwKeys) w.String(k.c_str());
    w.EndArray();
    w.EndObject();
  }
  w.EndObject();
  return std::string(sb.GetString()) + "\n";
}

int fail(int code, const std::string& msg) {
  std::fprintf(stderr, "qobl-info: %s\n", msg.c_str());
  return code;
}

// kExitOk once everything printed has reached stdout; else (stdout closed, a full disk) says so and returns
// kExitOutput, so that a script never takes an empty or cut report for a success.
int reportWritten() {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return kExitOk;
  return fail(kExitOutput, std::string("cannot write the report to stdout: ") + std::strerror(errno != 0 ? errno : EIO));
}

}  // namespace

int main(int argc, char** argv) {
  zenlar::qobltools::holdClosedStandardStreams();
  Options o;
  CLI::App app("Prints the library's version and the cards, or what a model is and what it takes.", "qobl-info");
  app.footer(kFooter);
  app.get_formatter()->column_width(24);
  app.add_option("MODEL_DIR", o.modelDir, "A model directory to load and describe.");
  app.add_flag("--json", o.json, "Print JSON instead of text.");
  app.add_option("--device", o.device, "The card to load the model on (0 to 15, default 0).")
      ->type_name("ID")
      ->transform(wholeNumber(0, 15));
  app.add_option("--shape", o.shape, "Dynamic models: the spatial size to load at (default: the smallest\nsample's, as for qobl-run).")
      ->type_name("HxW")
      ->check([](const std::string& v) {
        int64_t h = 0, w = 0;
        return parseHxW(v, &h, &w) ? std::string() : "\"" + v + "\" is not of the form HxW";
      });
  app.add_option("--log-level", o.logLevel, "The library's log level (default: QOBM_LOG_LEVEL, else ERROR).")
      ->type_name("LEVEL")
      ->check([](const std::string& v) {
        return logLevelByName(v) >= 0 ? std::string() : "unknown log level \"" + v + "\"";
      });
  app.add_flag("--version", o.version, "Print the version of qobl-info and of the library, and exit.");
  bool help = false;
  std::string error;
  const bool parsed = parseCommandLine(app, argc, argv, &help, &error);
  const int end = commandLineEnd("qobl-info", parsed, error, help, help ? app.help() : std::string(), o.version);
  if (end >= 0) return end;
  // An empty MODEL_DIR (as from an unset shell variable) would otherwise list the cards and succeed.
  if (app.count("MODEL_DIR") != 0 && o.modelDir.empty())
    return fail(kExitUsage, "MODEL_DIR is empty: give a model directory, or leave it out to list the cards");
  // --device and --shape say how to load a model: without one they would be dropped unseen.
  for (const char* opt : {"--device", "--shape"}) {
    if (o.modelDir.empty() && app.count(opt) != 0)
      return fail(kExitUsage, std::string(opt) + " applies to a model: give its MODEL_DIR, or leave " + opt +
                                  " out to list the cards (see --help)");
  }
  const char* envLevel = std::getenv("QOBM_LOG_LEVEL");
  if (!o.logLevel.empty()) {
    qobmSetLogLevel(static_cast<uint32_t>(logLevelByName(o.logLevel)));
  } else if (envLevel == nullptr || envLevel[0] == '\0') {
    qobmSetLogLevel(qobmLL_ERROR);
  }
  installLogSink("qobl-info");

  std::vector<CardInfo> cs;
  const int rc = cards(&cs);
  if (rc != 0) return fail(kExitSetup, "the card does not answer: " + codeText(static_cast<uint32_t>(rc)));
  if (!o.modelDir.empty() && o.device >= cs.size())
    return fail(kExitUsage, missingCardText(o.device, static_cast<uint32_t>(cs.size())));
  if (o.modelDir.empty()) {
    if (o.json) {
      std::printf("%s", toJson(&cs, nullptr, 0).c_str());
    } else {
      printCards(cs);
    }
    return reportWritten();
  }
  ModelReport r;
  std::string err;
  const int code = inspect(o, &r, &err);
  if (code != kExitOk) return fail(code, err);
  if (o.json) {
    std::printf("%s", toJson(nullptr, &r, o.device).c_str());
  } else {
    printModel(r, o.device);
  }
  return reportWritten();
}
