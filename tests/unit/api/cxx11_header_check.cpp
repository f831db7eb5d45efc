// Compiled as C++11 with -pedantic-errors: the public C headers must be usable from C++11 applications.
#include "qobl_api.h"
#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_model.h"
#include "qobcrt/qobcrt_sim.h"
#include "qobe/qobe.h"
#include "qobcrt/qobcrt_preproc.h"
#include "qobm/qobm.h"
#include "tvm/runtime/c_backend_api.h"
#include "tvm/runtime/c_runtime_api.h"

// The version as a C++11 translation unit sees it.
int cxx11_version_major() { return QOBL_VERSION_MAJOR; }
