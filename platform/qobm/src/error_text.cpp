// Texts for result codes (this library's and the device runtime's) and the mapping of runtime codes.
#include <cstdio>
#include <cstring>

#include "qobcrt/qobcrt.h"
#include "qobm_internal.h"

namespace {

using zenlar::qobm::guarded;

constexpr uint32_t kRuntimeFirst = 500000;
constexpr uint32_t kRuntimeLast = 500124;

struct CodeText {
  uint32_t code;
  const char* text;
};

constexpr CodeText kTexts[] = {
    {QOBM_SUCCESS, "success"},
    {QOBM_ERR_INVALID_PARAM, "invalid parameter: null pointer or argument out of range"},
    {QOBM_ERR_INVALID_HANDLE, "invalid handle: not made by this library or already destroyed"},
    {QOBM_ERR_BAD_ALLOC, "host memory exhausted"},
    {QOBM_ERR_INDEX, "index beyond the dataset's entries"},
    {QOBM_ERR_MODE, "dataset mode does not match the call (buffer call on a tensor dataset or the reverse)"},
    {QOBM_ERR_NO_DEVICE, "the calling thread has no current device"},
    {QOBM_ERR_DEVICE, "device index out of range"},
    {QOBM_ERR_UNSUPPORTED, "value has no mapping"},
    {QOBM_ERR_EVENT_TIMEOUT, "time-out expired before the event was set"},
    {rtReady, "device runtime: ready"},
    {rtErrMalloc, "device runtime: device memory exhausted"},
    {rtErrInvalidDevice, "device runtime: device index out of range"},
    {rtErrInvalidParam, "device runtime: invalid parameter (null pointer, zero size, bad flag or direction)"},
    {rtErrInvalidAddr, "device runtime: address is not a live block of the expected kind"},
    {rtErrDoubleFree, "device runtime: block already freed"},
    {rtErrOutOfBounds, "device runtime: copy beyond the end of a block"},
    {rtErrStreamId, "device runtime: stream id unknown or already registered"},
    {rtErrRunRecord, "device runtime: malformed run (bad op record, argument array or block)"},
    {rtErrModel, "device runtime: no loaded model of that name or address"},
    {rtErrTimeout, "device runtime: synchronous run did not finish in time"},
    {rtErrKernel, "device runtime: a model kernel or op reported failure"},
    {rtErrNotRegistered, "device runtime: completion function not installed for the device"},
    {rtErrInjected, "device runtime: injected fault"},
    {rtErrOthers, "device runtime: other error"},
};

}  // namespace

extern "C" {

int qobmGetErrDesc(uint32_t code, char* text, uint32_t size) {
  return guarded([&] {
    if (text == nullptr || size == 0) return QOBM_ERR_INVALID_PARAM;
    for (const CodeText& entry : kTexts) {
      if (entry.code == code) {
        std::snprintf(text, size, "%s", entry.text);
        return QOBM_SUCCESS;
      }
    }
    if (code >= kRuntimeFirst && code <= kRuntimeLast) {
      std::snprintf(text, size, "device runtime error %u", code);
    } else {
      std::snprintf(text, size, "unknown error code %u", code);
    }
    return QOBM_SUCCESS;
  });
}

int qobmNormalizeErrorCode(uint32_t rtCode, uint32_t* code) {
  if (code == nullptr) return QOBM_ERR_INVALID_PARAM;
  if (rtCode == 0 || (rtCode >= kRuntimeFirst && rtCode <= kRuntimeLast)) {
    *code = rtCode;
  } else {
    *code = QOBM_ERR_INVALID_PARAM;
  }
  return QOBM_SUCCESS;
}

}  // extern "C"
