// Exported functions of libqobl.
#include "qobl_api.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "version.h"

namespace zenlar {
namespace qobl {

bool _qoblIsEnvSet(const char* name) {
  if (name == nullptr) return false;
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0' || value[1] != '\0') return false;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
  return c == '1' || c == 'y';
}

}  // namespace qobl
}  // namespace zenlar

using namespace zenlar::qobl;

qoblErr qoblGetVersion(const char** ver, uint32_t* major, uint32_t* minor, uint32_t* rev, uint32_t* bn) {
  QOBL_CHECK_PARAM(NULL != ver, "Invalid parameter: NULL != ver");
  uint32_t numbers[4];
  if (qoblVersionNumbers(numbers)) {
    if (major != nullptr) *major = numbers[0];
    if (minor != nullptr) *minor = numbers[1];
    if (rev != nullptr) *rev = numbers[2];
    if (bn != nullptr) *bn = numbers[3];
  }
  *ver = qoblVersionText();
  return qoblERR_SUCCESS;
}
