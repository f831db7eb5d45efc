// Exported functions of dynamic-shape models: loading a model suite from its configuration file, setting
// the input shapes and asking the largest batch size for given shapes.
//
// Suite configuration (JSON object):
//   "module_name"   string   prefix of the member keys
//   "module_num"    integer  number of members N
//   "shape_ranges"  string   handed unchanged to the model runtime
//   "shared_params" string   handed unchanged to the model runtime
//   <prefix><i>     [library, params, graph] for i = 0 .. N-1, each path relative to the directory of the
//                   configuration file (the working directory when the configuration path has no "/")
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "i_model.h"
#include "md5.h"
#include "model_mgr.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "qobl_shape.h"
#include "utils/utils.h"

using zenlar::qobl::ModelFileSuiteCollection;
using zenlar::qobl::ModelMgr;
using zenlar::qobl::qoblShape;

namespace {

// A whole file read by qoblUtilsReadFileChar; the block is released with delete[] when the holder goes,
// so every return path frees what was read.
struct FileBytes {
  std::unique_ptr<char[]> data;
  uint64_t size = 0;
  bool read(const std::string& path, bool isTxt) {
    char* block = nullptr;
    size = zenlar::qobl::qoblUtilsReadFileChar(path.c_str(), &block, isTxt);
    data.reset(size != 0 ? block : nullptr);
    return size != 0;
  }
};

// Graph text and parameter bytes of one member; they must live until the model runtime has been created.
struct MemberFiles {
  FileBytes graph;
  FileBytes params;
};

// The directory part of the configuration path, up to and including its last '/'; empty without one.
std::string baseDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string digestOf(const FileBytes& file) {
  return zenlar::qobl::md5::digestString(file.data.get(), static_cast<uint32_t>(file.size));
}

std::vector<qoblShape> toShapeList(const qobmShape* shapes, uint32_t count) {
  return std::vector<qoblShape>(shapes, shapes + count);
}

}  // namespace

qoblErr qoblCreateDynamicModel(const char* modSuitesConfig, const char* hwConfig, qoblModel** model) {
  QOBL_CHECK_PARAM(NULL != modSuitesConfig && NULL != model,
                   "Invalid parameter: NULL != modSuitesConfig && NULL != model");
  QOBL_CHECK_PARAM(NULL == (*model), "Invalid parameter: NULL == (*model)");
  uint32_t devId = UINT32_MAX;
  const int devRc = qobmGetDevice(&devId);
  if (devId == UINT32_MAX) return static_cast<qoblErr>(devRc);

  QOBL_API_TRY {
    FileBytes config, hw;
    if (!config.read(modSuitesConfig, true)) {
      QOBL_LOG_ERROR("Can't find model suite config json file: %s\n", modSuitesConfig);
      return qoblERR_MODEL_FILE;
    }
    if (NULL != hwConfig && !hw.read(hwConfig, true)) {
      QOBL_LOG_ERROR("Can't find input model's json file: %s\n", hwConfig);
      return qoblERR_MODEL_FILE;
    }

    const std::string baseDir = baseDirectory(modSuitesConfig);
    rapidjson::Document doc;
    doc.Parse(config.data.get());
    if (doc.HasParseError()) {
      QOBL_LOG_ERROR("Failed to create Model: config file %s is not valid JSON: %s (offset %u).\n", modSuitesConfig,
                     rapidjson::GetParseError_En(doc.GetParseError()), static_cast<unsigned>(doc.GetErrorOffset()));
      return qoblERR_MODEL_FILE;
    }
    if (!doc.IsObject()) {
      QOBL_LOG_ERROR("Failed to create Model: config file %s must hold a JSON object.\n", modSuitesConfig);
      return qoblERR_MODEL_FILE;
    }
    const auto nameIt = doc.FindMember("module_name");
    if (nameIt == doc.MemberEnd() || !nameIt->value.IsString()) {
      QOBL_LOG_ERROR("Failed to create Model: config module_name should exist and must be string.\n");
      return qoblERR_MODEL_FILE;
    }
    const auto numIt = doc.FindMember("module_num");
    if (numIt == doc.MemberEnd() || !numIt->value.IsInt()) {
      QOBL_LOG_ERROR("Failed to create Model: config module_num should exist and must be int.\n");
      return qoblERR_MODEL_FILE;
    }
    const auto rangesIt = doc.FindMember("shape_ranges");
    if (rangesIt == doc.MemberEnd() || !rangesIt->value.IsString()) {
      QOBL_LOG_ERROR("Failed to create Model: config shape_ranges should exist and must be string.\n");
      return qoblERR_MODEL_FILE;
    }
    const auto sharedIt = doc.FindMember("shared_params");
    if (sharedIt == doc.MemberEnd() || !sharedIt->value.IsString()) {
      QOBL_LOG_ERROR("Failed to create Model: config shared_params should exist and must be string.\n");
      return qoblERR_MODEL_FILE;
    }

    // The member count sizes what is read and kept per member: it cannot exceed the members the file holds.
    const int memberCount = numIt->value.GetInt();
    if (memberCount < 0 || static_cast<uint64_t>(memberCount) > doc.MemberCount()) {
      QOBL_LOG_ERROR("Failed to create Model: config module_num %d is not a member count of a file with %u members.\n",
                     memberCount, static_cast<unsigned>(doc.MemberCount()));
      return qoblERR_MODEL_FILE;
    }
    const std::string prefix(nameIt->value.GetString(), nameIt->value.GetStringLength());
    std::vector<MemberFiles> members(static_cast<size_t>(memberCount));
    ModelFileSuiteCollection collection;
    std::string digests;
    for (int i = 0; i < memberCount; ++i) {
      // Members are found by the exact key prefix + index: no separator is added.
      const std::string key = prefix + std::to_string(i);
      const auto memberIt = doc.FindMember(key.c_str());
      if (memberIt == doc.MemberEnd()) {
        QOBL_LOG_ERROR("Failed to create Model: config member %s should exist.\n", key.c_str());
        return qoblERR_MODEL_FILE;
      }
      const rapidjson::Value& files = memberIt->value;
      if (!files.IsArray() || files.Size() < 3 || !files[0].IsString() || !files[1].IsString() ||
          !files[2].IsString()) {
        QOBL_LOG_ERROR(
            "Failed to create Model: config member %s must be an array of three strings (lib, params, graph).\n",
            key.c_str());
        return qoblERR_MODEL_FILE;
      }
      const std::string libPath = baseDir + files[0].GetString();
      const std::string paramsPath = baseDir + files[1].GetString();
      const std::string graphPath = baseDir + files[2].GetString();

      MemberFiles& member = members[static_cast<size_t>(i)];
      if (!member.graph.read(graphPath, true)) {
        QOBL_LOG_ERROR("Can't find input model's graph file: %s\n", graphPath.c_str());
        return qoblERR_MODEL_FILE;
      }
      if (!member.params.read(paramsPath, false)) {
        QOBL_LOG_ERROR("Can't find input model's params file: %s\n", paramsPath.c_str());
        return qoblERR_MODEL_FILE;
      }
      FileBytes lib;
      if (!lib.read(libPath, false)) {
        QOBL_LOG_ERROR("Can't find input model's lib file: %s\n", libPath.c_str());
        return qoblERR_MODEL_FILE;
      }
      // The member's digest covers its library, graph and parameter bytes in that order (file bytes only,
      // without the terminator added to the graph text).
      zenlar::qobl::MD5 memberDigest;
      memberDigest.update(lib.data.get(), static_cast<uint32_t>(lib.size));
      memberDigest.update(member.graph.data.get(), static_cast<uint32_t>(member.graph.size));
      memberDigest.update(member.params.data.get(), static_cast<uint32_t>(member.params.size));
      digests += memberDigest.finalize().hexdigest();
      collection.emplace_back(libPath, member.graph.data.get(), member.params.data.get(), member.params.size);
      // lib goes out of scope here: the runtime loads the library from its path.
    }
    if (NULL != hwConfig) digests += digestOf(hw);
    const std::string md5 = zenlar::qobl::md5::digestString(digests.data(), static_cast<uint32_t>(digests.size()));

    const std::string shapeRanges(rangesIt->value.GetString(), rangesIt->value.GetStringLength());
    const std::string sharedParams(sharedIt->value.GetString(), sharedIt->value.GetStringLength());

    std::unique_ptr<qoblModel> handle(new qoblModel{nullptr});
    if (!ModelMgr::createDynamicModel(&handle->ptr_, shapeRanges, sharedParams, collection,
                                      NULL != hwConfig ? hw.data.get() : nullptr, md5, devId)) {
      return qoblERR_CREATE_MODEL;
    }
    *model = handle.release();
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_CREATE_MODEL)
}

qoblErr qoblSetDynamicModelInputShape(qoblModel* model, qobmShape* shapes, uint32_t count) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes");
  QOBL_API_TRY {
    return model->ptr_->setInputShape(toShapeList(shapes, count)) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetDynamicModelMaxBatchSize(qoblModel* model, qobmShape* shapes, uint32_t count, uint32_t* batchSize) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
  QOBL_API_TRY {
    bool ok = false;
    if (0 != count && NULL != shapes) {
      ok = model->ptr_->getMaxBatchSize(toShapeList(shapes, count), *batchSize);
    } else {
      ok = model->ptr_->getMaxBatchSize(*batchSize);  // the shapes currently set
    }
    return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}
