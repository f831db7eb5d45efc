// StreamDataset: the application's datasets of one input of an op stream, and InputRecords, a list of them.
//
// OWNERSHIP: a record is owned by exactly one holder at a time (std::unique_ptr): the run it was gathered
// into (RunStreamInstruction::addInput) from the moment the input is accepted, then whoever takes the run
// out (InputRecords), then the op stream's spare records.  For an asynchronous input the record owns the
// clone of the application's output dataset (the container only; the buffers stay the application's) and
// destroys it when it goes.
#ifndef QOBL_STREAM_DATASET_H
#define QOBL_STREAM_DATASET_H

#include <qobm/qobm.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace zenlar {
namespace qobl {

// The datasets of one input id.  `output` is the application's dataset for a synchronous input and a clone
// of it for an asynchronous one (ownsOutput set: the record destroys the clone container when it goes; the
// buffers stay the application's).  `counted` is set when the input was added to the stream's completion
// count (asynchronous inputs).
// A finished input's record keeps its clone (keptClone, with the entries it holds in cloneEntries) for a
// later input whose output dataset holds the same entries: a clone lists only the entries' handles, so it
// serves that input as a new one would, without making and filling a dataset again.
struct StreamDataset {
  StreamDataset(uint32_t id, qobmDataset* in, qobmDataset* out, bool owns, bool isCounted)
      : inputId(id), input(in), output(out), ownsOutput(owns), counted(isCounted) {}
  ~StreamDataset() {
    if (ownsOutput && output != nullptr) qobmDestroyDataset(output);
    dropKeptClone();
  }
  StreamDataset(const StreamDataset&) = delete;
  StreamDataset& operator=(const StreamDataset&) = delete;
  // Destroys the kept clone, if any.
  void dropKeptClone() {
    if (keptClone != nullptr) qobmDestroyDataset(keptClone);
    keptClone = nullptr;
  }
  uint32_t inputId;
  qobmDataset* input;
  qobmDataset* output;
  bool ownsOutput;
  bool counted;
  qobmDataset* keptClone = nullptr;         // owned: an earlier input's clone, not in use
  qobmDatasetMode cloneMode = qobmDM_BUFFER;  // mode and entries of the record's clone (output or keptClone)
  std::vector<void*> cloneEntries;
};

// Input records in arrival order; the holder owns them.
using InputRecords = std::vector<std::unique_ptr<StreamDataset>>;

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_DATASET_H
