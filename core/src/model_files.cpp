// ModelMgr::loadModel / loadDynamicModel: model files to model objects.
//
// Suite configuration of a dynamic-shape model (JSON object):
//   "module_name"   string   prefix of the member keys
//   "module_num"    integer  number of members N
//   "shape_ranges"  string   handed unchanged to the model runtime
//   "shared_params" string   handed unchanged to the model runtime
//   <prefix><i>     [library, params, graph] for i = 0 .. N-1, each path relative to the directory of the
//                   configuration file (the working directory when the configuration path has no "/")
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "md5.h"
#include "model_mgr.h"
#include "qobl_log.h"
#include "utils/utils.h"

namespace zenlar {
namespace qobl {

namespace {

// A whole file read by qoblUtilsReadFileChar; the block is freed with the holder.
struct FileBytes {
  std::unique_ptr<char[]> data;
  uint64_t size = 0;
  bool read(const std::string& path, bool isTxt) {
    char* block = nullptr;
    size = qoblUtilsReadFileChar(path.c_str(), &block, isTxt);
    data.reset(size != 0 ? block : nullptr);
    return size != 0;
  }
  void update(MD5& digest) const { digest.update(data.get(), static_cast<uint32_t>(size)); }
};

// Reads one file; logs `what` with the path when it cannot be read.
bool readFile(FileBytes& file, const std::string& path, bool isTxt, const char* what) {
  if (file.read(path, isTxt)) return true;
  QOBL_LOG_ERROR("Can't find %s: %s\n", what, path.c_str());
  return false;
}

// The files of one model module: graph text and parameter bytes (kept until the runtime has the module)
// and the digest over library, graph and parameter bytes in that order (the library is read for the digest
// only: the runtime loads it from its path).
struct ModuleFiles {
  FileBytes graph;
  FileBytes params;
  std::string md5;
  bool read(const std::string& lib, const std::string& graphPath, const std::string& paramsPath, MD5& digest) {
    FileBytes libBytes;
    if (!readFile(graph, graphPath, true, "input model's graph file") ||
        !readFile(params, paramsPath, false, "input model's params file") ||
        !readFile(libBytes, lib, false, "input model's lib file"))
      return false;
    libBytes.update(digest);
    graph.update(digest);
    params.update(digest);
    return true;
  }
};

bool currentDevice(uint32_t* dev, qoblErr* rc) {
  *dev = UINT32_MAX;
  const int devRc = qobmGetDevice(dev);
  *rc = static_cast<qoblErr>(devRc);
  return *dev != UINT32_MAX;
}

// The parsed suite configuration.
struct SuiteConfig {
  std::string baseDir, prefix, shapeRanges, sharedParams;
  int memberCount = 0;
  rapidjson::Document doc;

  bool stringKey(const char* key, std::string& out) {
    const auto it = doc.FindMember(key);
    if (it == doc.MemberEnd() || !it->value.IsString()) {
      QOBL_LOG_ERROR("Failed to create Model: config %s should exist and must be string.\n", key);
      return false;
    }
    out.assign(it->value.GetString(), it->value.GetStringLength());
    return true;
  }
  bool parse(const char* path, const char* text) {
    const std::string p(path);
    baseDir = p.rfind('/') == std::string::npos ? std::string() : p.substr(0, p.rfind('/') + 1);
    doc.Parse(text);
    if (doc.HasParseError()) {
      QOBL_LOG_ERROR("Failed to create Model: config file %s is not valid JSON: %s (offset %u).\n", path,
                     rapidjson::GetParseError_En(doc.GetParseError()), static_cast<unsigned>(doc.GetErrorOffset()));
      return false;
    }
    if (!doc.IsObject()) {
      QOBL_LOG_ERROR("Failed to create Model: config file %s must hold a JSON object.\n", path);
      return false;
    }
    if (!stringKey("module_name", prefix)) return false;
    const auto numIt = doc.FindMember("module_num");
    if (numIt == doc.MemberEnd() || !numIt->value.IsInt()) {
      QOBL_LOG_ERROR("Failed to create Model: config module_num should exist and must be int.\n");
      return false;
    }
    if (!stringKey("shape_ranges", shapeRanges) || !stringKey("shared_params", sharedParams)) return false;
    // The member count sizes what is read and kept per member: it cannot exceed the members the file holds.
    memberCount = numIt->value.GetInt();
    if (memberCount < 0 || static_cast<uint64_t>(memberCount) > doc.MemberCount()) {
      QOBL_LOG_ERROR("Failed to create Model: config module_num %d is not a member count of a file with %u members.\n",
                     memberCount, static_cast<unsigned>(doc.MemberCount()));
      return false;
    }
    return true;
  }
  // The paths (library, params, graph) of member i; members are found by the exact key prefix + index.
  bool member(int i, std::string paths[3]) {
    const std::string key = prefix + std::to_string(i);
    const auto it = doc.FindMember(key.c_str());
    if (it == doc.MemberEnd()) {
      QOBL_LOG_ERROR("Failed to create Model: config member %s should exist.\n", key.c_str());
      return false;
    }
    const rapidjson::Value& files = it->value;
    if (!files.IsArray() || files.Size() < 3 || !files[0].IsString() || !files[1].IsString() ||
        !files[2].IsString()) {
      QOBL_LOG_ERROR(
          "Failed to create Model: config member %s must be an array of three strings (lib, params, graph).\n",
          key.c_str());
      return false;
    }
    for (int k = 0; k < 3; ++k) paths[k] = baseDir + files[k].GetString();
    return true;
  }
};

}  // namespace

qoblErr ModelMgr::loadModel(const char* modLib, const char* modGraph, const char* modParam, const char* hwConfig,
                            IModel** pModel) {
  uint32_t devId = 0;
  qoblErr rc = qoblERR_SUCCESS;
  if (!currentDevice(&devId, &rc)) return rc;
  ModuleFiles files;
  FileBytes hw;
  MD5 digest;
  if (!files.read(modLib, modGraph, modParam, digest)) return qoblERR_MODEL_FILE;
  if (hwConfig != nullptr && !readFile(hw, hwConfig, true, "hw config file")) return qoblERR_MODEL_FILE;
  if (hwConfig != nullptr) hw.update(digest);
  const std::string md5 = digest.finalize().hexdigest();
  return createModel(pModel, modLib, files.graph.data.get(), files.params.data.get(), files.params.size,
                     hw.data.get(), md5, devId)
             ? qoblERR_SUCCESS
             : qoblERR_CREATE_MODEL;
}

qoblErr ModelMgr::loadDynamicModel(const char* suiteConfig, const char* hwConfig, IModel** pModel) {
  uint32_t devId = 0;
  qoblErr rc = qoblERR_SUCCESS;
  if (!currentDevice(&devId, &rc)) return rc;
  FileBytes config, hw;
  SuiteConfig suite;
  if (!readFile(config, suiteConfig, true, "model suite config json file")) return qoblERR_MODEL_FILE;
  if (hwConfig != nullptr && !readFile(hw, hwConfig, true, "input model's json file")) return qoblERR_MODEL_FILE;
  if (!suite.parse(suiteConfig, config.data.get())) return qoblERR_MODEL_FILE;
  std::vector<ModuleFiles> members(static_cast<size_t>(suite.memberCount));
  ModelFileSuiteCollection collection;
  std::string digests;
  for (int i = 0; i < suite.memberCount; ++i) {
    std::string paths[3];
    MD5 digest;
    ModuleFiles& member = members[static_cast<size_t>(i)];
    if (!suite.member(i, paths) || !member.read(paths[0], paths[2], paths[1], digest)) return qoblERR_MODEL_FILE;
    digests += digest.finalize().hexdigest();
    collection.emplace_back(paths[0], member.graph.data.get(), member.params.data.get(), member.params.size);
  }
  if (hwConfig != nullptr) digests += md5::digestString(hw.data.get(), static_cast<uint32_t>(hw.size));
  const std::string md5 = md5::digestString(digests.data(), static_cast<uint32_t>(digests.size()));
  return createDynamicModel(pModel, suite.shapeRanges, suite.sharedParams, collection, hw.data.get(), md5, devId)
             ? qoblERR_SUCCESS
             : qoblERR_CREATE_MODEL;
}

}  // namespace qobl
}  // namespace zenlar
