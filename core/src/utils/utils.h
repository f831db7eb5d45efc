// Shared utilities of the library: whole-file reads, host-to-card copies of configuration blocks, dataset
// inspection and cloning, a least common multiple, a bounded string copy and a log-level query.
// None of them throws; each reports failure by its neutral result (0, null, false, empty) after at most one
// log line.
#ifndef QOBL_UTILS_UTILS_H
#define QOBL_UTILS_UTILS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <qobm/qobm.h>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

// Reads the whole file into a new block stored in *buffer; returns its size in bytes.  With isTxt a 0 byte
// is appended after the content (the block is size + 1 bytes).  Returns 0, leaving *buffer untouched, when
// the file cannot be opened ("failed to open %s \n") or is empty.  Only regular files are read: a
// directory or a device reports a size that is no size of content, and is refused like a file that cannot be
// opened.  The caller frees the block with delete[].
uint64_t qoblUtilsReadFileChar(const char* fileName, char** buffer, bool isTxt);

// Copies `size` bytes of host memory at `cfg` into a new stream-memory block on device `deviceId`, whose
// size is `size` rounded up to a multiple of 4.  Returns the block's device address, or 0 on failure (no
// block is left allocated then).  The caller frees the block with qobcrt_free_stream.
uint64_t qoblCopyDataToDevice(const void* cfg, uint32_t deviceId, uint64_t size);

// The data address of every buffer (buffer mode) or tensor (tensor mode) of the dataset, in order.  Empty
// for a null dataset or one the dataset library cannot read; an entry it fails to return gives 0.
std::vector<uint64_t> qoblGetDatasetDataAddrs(qobmDataset* ds);
// The same into `addrs` (its contents replaced, its capacity kept for the next call).
void qoblGetDatasetDataAddrs(qobmDataset* ds, std::vector<uint64_t>& addrs);

// The entries of a dataset as read once for a run: its mode, the buffer (buffer mode) or tensor (tensor
// mode) handles in order, and their data addresses (0 for an address the dataset library fails to return).
// The handles belong to the dataset.  A caller keeps one record per thread, so the lists keep their
// capacity from call to call.
struct DatasetEntries {
  qobmDataset* dataset = nullptr;
  qobmDatasetMode mode = qobmDM_BUFFER;
  std::vector<void*> handles;
  std::vector<uint64_t> addrs;
};

// True when every buffer or tensor of the dataset lives in memory of kind `type` (an empty dataset passes);
// false for a null dataset, a failing dataset call or a mismatch (logged).  With `entries`, a dataset that
// passes is also read into it (the same calls and failures, plus each entry's data address), so a run
// needs to ask the dataset library nothing more about it.
bool qoblCheckDatasetMemoryType(qobmDataset* dt, qobmDeviceType type, DatasetEntries* entries = nullptr);

// Mode (buffer or tensor; any other is refused, logged) and entry count of a dataset; false on failure
// (the failing call logged).
bool qoblUtilsDatasetEntries(qobmDataset* dt, qobmDatasetMode* mode, uint32_t* count);
// Adds entry `index` of `from` (a buffer or a tensor, by `mode`) to `dataset`; false on failure (logged).
// A failed fetch's line names the source and index as the caller calls them (`fromName`, `indexName`),
// e.g. "Failed to call qobmGetDatasetBuffer(dt, i, &buffer) : ...".
bool qoblUtilsCopyDatasetEntry(qobmDataset* from, uint32_t index, qobmDatasetMode mode, qobmDataset* dataset,
                               const char* fromName, const char* indexName);

// A new dataset of the same mode holding the same buffers or tensors in the same order (shared, not
// copied), or null.  The caller owns the new dataset (qobmDestroyDataset frees the container only).
qobmDataset* qoblCloneDataset(qobmDataset* dt);
// The same from entries already read (qoblCheckDatasetMemoryType): only the new dataset is made and filled.
qobmDataset* qoblCloneDataset(const DatasetEntries& entries);

// Least common multiple of two non-zero values; 0 when either is 0 or the result exceeds 32 bits.
uint32_t qoblCalculateLCM(uint32_t a, uint32_t b);

// Copies min(srcLen, bufSize - 1) bytes of src into dst and terminates it; never writes past bufSize bytes.
// Nothing happens when bufSize is 0 or a pointer is null.
void qoblUtilsSafeCopyString(const char* src, size_t srcLen, char* dst, size_t bufSize);

// True when the log library reports `level` enabled on the library's channel.
bool qoblUtilsIsLogLevelEnabled(qobmLogLevel level);

// True exactly when the environment variable `name` exists, is not empty, and equals "1" or "y" in any
// case.  A null name gives false.
bool _qoblIsEnvSet(const char* name);

// The dataset library's description of a code, fetched into a zero-filled 256-byte buffer.
std::string qoblUtilsErrDesc(uint32_t code);

}  // namespace qobl
}  // namespace zenlar

// Runs a dataset-library call and stores its result in `rc`; when it is not 0, logs at error level, from
// the calling function, "Failed to call <the call as written> : <description of rc>\n" and runs
// `onFailure` (typically a return).  The call's own text is the log text, so write it as it should read.
#define QOBL_CALL_OR(rc, call, onFailure)                                                            \
  do {                                                                                               \
    (rc) = (call);                                                                                   \
    if ((rc) != 0) {                                                                                 \
      QOBL_LOG_ERROR("Failed to call " #call " : %s\n",                                              \
                     ::zenlar::qobl::qoblUtilsErrDesc(static_cast<uint32_t>(rc)).c_str());           \
      onFailure;                                                                                     \
    }                                                                                                \
  } while (0)

#endif  // QOBL_UTILS_UTILS_H
