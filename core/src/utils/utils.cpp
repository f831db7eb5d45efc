#include "utils/utils.h"

#include <qobcrt/qobcrt.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>

#include "device_block.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

std::string qoblUtilsErrDesc(uint32_t code) {
  char text[256];
  std::memset(text, 0, sizeof(text));
  qobmGetErrDesc(code, text, sizeof(text));
  return std::string(text);
}

uint64_t qoblUtilsReadFileChar(const char* fileName, char** buffer, bool isTxt) {
  if (fileName == nullptr || buffer == nullptr) return 0;
  struct stat st;
  std::ifstream file;
  if (::stat(fileName, &st) == 0 && S_ISREG(st.st_mode)) file.open(fileName, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    QOBL_LOG_ERROR("failed to open %s \n", fileName);
    return 0;
  }
  if (st.st_size <= 0) return 0;  // empty file: nothing allocated
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  char* block = new (std::nothrow) char[isTxt ? size + 1 : size];
  if (block == nullptr) return 0;
  if (!file.read(block, static_cast<std::streamsize>(size))) {
    delete[] block;
    return 0;
  }
  if (isTxt) block[size] = '\0';
  *buffer = block;
  return size;
}

uint64_t qoblCopyDataToDevice(const void* cfg, uint32_t deviceId, uint64_t size) {
  uint64_t allocSize = size;
  if ((allocSize & 0x3) != 0) allocSize = (allocSize & ~uint64_t{0x3}) + 4;
  DeviceBlock block;
  int ret = DeviceBlock::allocate(deviceId, DeviceMemKind::kStream, allocSize, &block);
  if (ret != 0) {
    QOBL_LOG_ERROR("[qobl]: failed to malloc stream memory for input configure in DDR. Error code is [%d].\n ", ret);
    return 0;
  }
  QOBL_LOG_DEBUG("[qobl]: Malloc stream memory for input configure in DDR. Address = %p, size = %d.\n ",
                 reinterpret_cast<void*>(block.address()), static_cast<int>(allocSize));
  // Only the requested bytes are copied; the rounding bytes keep what the device runtime provides.
  ret = qobcrt_memcpy(deviceId, cfg, size, block.address(), kHost2Ddr);
  if (ret != 0) {
    QOBL_LOG_ERROR("Failed to copy input config from host to device. Error code is [%d].\n ", ret);
    return 0;  // the block is of no use to anybody: it goes back now
  }
  return block.release();  // the caller's from here on
}

std::vector<uint64_t> qoblGetDatasetDataAddrs(qobmDataset* ds) {
  std::vector<uint64_t> addrs;
  qoblGetDatasetDataAddrs(ds, addrs);
  return addrs;
}

namespace {
// The mode and entry count of a dataset, unlogged.  Non-zero when a call fails or the mode is neither
// buffers nor tensors.  The buffer count call answers both for a buffer dataset (the usual one): it refuses
// a dataset of the other mode with QOBM_ERR_MODE, and only then is the tensor count asked.  So the mode
// needs no call of its own.
int readModeAndCount(qobmDataset* ds, qobmDatasetMode* mode, uint32_t* count) {
  int rc = qobmGetDatasetBufferCount(ds, count);
  if (rc == 0) {
    *mode = qobmDM_BUFFER;
    return 0;
  }
  if (rc != QOBM_ERR_MODE) return rc;
  rc = qobmGetDatasetTensorCount(ds, count);
  if (rc == 0) *mode = qobmDM_TENSOR;
  return rc;
}

// The device address of each of the `count` entries of ds into addrs[0..count), through the mode's own
// calls (entry, address); an entry that cannot be read gives address 0.
template <typename Entry>
void readEntryAddrs(qobmDataset* ds, uint32_t count, int (*entryAt)(qobmDataset*, uint32_t, Entry**),
                    int (*addrOf)(Entry*, uint64_t*), uint64_t* addrs) {
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t addr = 0;
    Entry* entry = nullptr;
    if (entryAt(ds, i, &entry) == 0) addrOf(entry, &addr);
    addrs[i] = addr;
  }
}

// Gives `v` `n` elements whose values the caller then writes.  A caller reading the same dataset again
// usually finds the size already right: inline, so that it then costs a comparison, not a call.
template <typename T>
[[gnu::always_inline]] inline void fitSize(std::vector<T>& v, size_t n) {
  if (v.size() != n) v.resize(n);
}
}  // namespace

void qoblGetDatasetDataAddrs(qobmDataset* ds, std::vector<uint64_t>& addrs) {
  qobmDatasetMode mode = qobmDM_BUFFER;
  uint32_t count = 0;
  if (ds == nullptr || readModeAndCount(ds, &mode, &count) != 0) count = 0;
  fitSize(addrs, count);
  // One loop per mode rather than a mode test per entry.
  if (mode == qobmDM_BUFFER) {
    readEntryAddrs(ds, count, qobmGetDatasetBuffer, qobmGetDataBufferAddr, addrs.data());
  } else {
    readEntryAddrs(ds, count, qobmGetDatasetTensor, qobmGetTensorDataHandle, addrs.data());
  }
}

bool qoblUtilsDatasetEntries(qobmDataset* dt, qobmDatasetMode* modeOut, uint32_t* countOut) {
  // The local names are those the failure lines show.
  int ret = 0;
  qobmDatasetMode mode = qobmDM_BUFFER;
  uint32_t count = 0;
  QOBL_CALL_OR(ret, qobmGetDatasetMode(dt, &mode), return false);
  if (mode != qobmDM_BUFFER && mode != qobmDM_TENSOR) {
    QOBL_LOG_ERROR("Find unsupported dataset mode: %d", static_cast<int>(mode));
    return false;
  }
  if (mode == qobmDM_BUFFER) {
    QOBL_CALL_OR(ret, qobmGetDatasetBufferCount(dt, &count), return false);
  } else {
    QOBL_CALL_OR(ret, qobmGetDatasetTensorCount(dt, &count), return false);
  }
  *modeOut = mode;
  *countOut = count;
  return true;
}

bool qoblUtilsCopyDatasetEntry(qobmDataset* from, uint32_t index, qobmDatasetMode mode, qobmDataset* dataset,
                               const char* fromName, const char* indexName) {
  // The add calls' local names are those their failure lines show; the fetch's line names the caller's.
  int ret = 0;
  if (mode == qobmDM_TENSOR) {
    qobmTensor* tensor = nullptr;
    ret = qobmGetDatasetTensor(from, index, &tensor);
    if (ret == 0) QOBL_CALL_OR(ret, qobmAddDatasetTensor(dataset, tensor), return false);
  } else {
    qobmDataBuffer* buffer = nullptr;
    ret = qobmGetDatasetBuffer(from, index, &buffer);
    if (ret == 0) QOBL_CALL_OR(ret, qobmAddDatasetBuffer(dataset, buffer), return false);
  }
  if (ret == 0) return true;
  const bool tensor = mode == qobmDM_TENSOR;
  QOBL_LOG_ERROR("Failed to call qobmGetDataset%s(%s, %s, &%s) : %s\n", tensor ? "Tensor" : "Buffer", fromName,
                 indexName, tensor ? "tensor" : "buffer", qoblUtilsErrDesc(static_cast<uint32_t>(ret)).c_str());
  return false;
}

bool qoblCheckDatasetMemoryType(qobmDataset* dt, qobmDeviceType type, DatasetEntries* entries) {
  if (dt == nullptr) return false;
  qobmDatasetMode mode = qobmDM_BUFFER;
  uint32_t count = 0;
  int ret = 0;
  // Read without the logged steps' frame; a dataset that cannot be read so is read again step by step,
  // which logs the failing call.
  if (readModeAndCount(dt, &mode, &count) != 0 && !qoblUtilsDatasetEntries(dt, &mode, &count)) return false;
  // With `entries`, each entry's handle and address are stored in the same walk as its check.
  void** handles = nullptr;
  uint64_t* addrs = nullptr;
  if (entries != nullptr) {
    entries->dataset = dt;
    entries->mode = mode;
    fitSize(entries->handles, count);
    fitSize(entries->addrs, count);
    handles = entries->handles.data();
    addrs = entries->addrs.data();
  }
  for (uint32_t i = 0; i < count; ++i) {
    qobmDeviceInfo devInfo{};
    uint64_t addr = 0;
    void* handle = nullptr;
    if (mode == qobmDM_BUFFER) {
      qobmDataBuffer* buffer = nullptr;
      QOBL_CALL_OR(ret, qobmGetDatasetBuffer(dt, i, &buffer), return false);
      QOBL_CALL_OR(ret, qobmGetDataBufferDeviceInfo(buffer, &devInfo), return false);
      if (addrs != nullptr && devInfo.dev == type) qobmGetDataBufferAddr(buffer, &addr);
      handle = buffer;
    } else {
      qobmTensor* tensor = nullptr;
      QOBL_CALL_OR(ret, qobmGetDatasetTensor(dt, i, &tensor), return false);
      QOBL_CALL_OR(ret, qobmGetTensorDeviceInfo(tensor, &devInfo), return false);
      if (addrs != nullptr && devInfo.dev == type) qobmGetTensorDataHandle(tensor, &addr);
      handle = tensor;
    }
    if (devInfo.dev != type) {
      QOBL_LOG_ERROR("Find non %s memory dataset.", type == qobmDE_QOBC ? "qobmDE_QOBC" : "qobmDE_CPU");
      return false;
    }
    if (addrs != nullptr) {
      handles[i] = handle;
      addrs[i] = addr;
    }
  }
  return true;
}

qobmDataset* qoblCloneDataset(qobmDataset* dt) {
  if (dt == nullptr) return nullptr;
  qobmDatasetMode mode = qobmDM_BUFFER;
  uint32_t count = 0;
  int ret = 0;
  if (!qoblUtilsDatasetEntries(dt, &mode, &count)) return nullptr;
  qobmDataset* dataset = nullptr;
  QOBL_CALL_OR(ret, qobmCreateDataset(mode, &dataset), return nullptr);
  // On a failure after the new dataset exists, it is destroyed (container only: the entries are shared
  // with `dt`), so a failed clone leaves nothing behind.
  for (uint32_t i = 0; i < count; ++i) {
    if (!qoblUtilsCopyDatasetEntry(dt, i, mode, dataset, "dt", "i")) {
      qobmDestroyDataset(dataset);
      return nullptr;
    }
  }
  return dataset;
}

qobmDataset* qoblCloneDataset(const DatasetEntries& entries) {
  // The local names are those the failure lines show.
  const qobmDatasetMode mode = entries.mode;
  qobmDataset* dataset = nullptr;
  int ret = 0;
  QOBL_CALL_OR(ret, qobmCreateDataset(mode, &dataset), return nullptr);
  for (void* entry : entries.handles) {
    if (mode == qobmDM_TENSOR) {
      qobmTensor* tensor = static_cast<qobmTensor*>(entry);
      QOBL_CALL_OR(ret, qobmAddDatasetTensor(dataset, tensor), break);
    } else {
      qobmDataBuffer* buffer = static_cast<qobmDataBuffer*>(entry);
      QOBL_CALL_OR(ret, qobmAddDatasetBuffer(dataset, buffer), break);
    }
  }
  if (ret == 0) return dataset;
  qobmDestroyDataset(dataset);  // the container only: the entries stay the application's
  return nullptr;
}

uint32_t qoblCalculateLCM(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return 0;  // no least common multiple; rejected
  // The smallest value >= max(a, b) divisible by both, found through the greatest common divisor rather
  // than by counting upwards.  0 when it does not fit in 32 bits.
  uint32_t x = a, y = b;
  while (y != 0) {
    const uint32_t r = x % y;
    x = y;
    y = r;
  }
  const uint64_t lcm = static_cast<uint64_t>(a / x) * b;
  return lcm > UINT32_MAX ? 0 : static_cast<uint32_t>(lcm);
}

void qoblUtilsSafeCopyString(const char* src, size_t srcLen, char* dst, size_t bufSize) {
  if (src == nullptr || dst == nullptr || bufSize == 0) return;
  const size_t n = (bufSize > srcLen) ? srcLen : bufSize - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

bool qoblUtilsIsLogLevelEnabled(qobmLogLevel level) {
  qobmBool enabled = qobmFALSE;
  const int ret = qobmLogLevelEnabled(qobmLC_CL, static_cast<uint32_t>(level), &enabled);
  return ret == 0 && enabled == qobmTRUE;
}

bool _qoblIsEnvSet(const char* name) {
  if (name == nullptr) return false;
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0' || value[1] != '\0') return false;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
  return c == '1' || c == 'y';
}

}  // namespace qobl
}  // namespace zenlar
