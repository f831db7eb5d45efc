// Failures of library calls as C++ exceptions, and the library's own words about them.
//
// The extension installs a log sink in the card platform's log library (qobmSetLogSink) when it is loaded.
// The sink writes every line to stderr exactly as the default sink does, and also keeps the ERROR (and
// worse) lines that the library logs on the calling thread, so that a failed call can be reported with the
// library's own explanation (for example the device error behind a failed synchronous run).
#ifndef QOBL_PYTHON_CALL_ERROR_H
#define QOBL_PYTHON_CALL_ERROR_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zenlar {
namespace qobl {
namespace python {

// A call of the library or of the platform failed: `code` is what it returned (a qoblERR_* code, a qobm
// code or a device runtime code), what() a sentence naming the call and, when the library logged one, its
// message.  Becomes qobl.Error in Python.
class CallError : public std::runtime_error {
 public:
  CallError(uint32_t code, const std::string& message) : std::runtime_error(message), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// Installs the log sink (once per process).
void installLogSink();

// Forgets the error lines the calling thread collected so far; call before a library call whose failure
// should carry them.
void clearLoggedErrors();

// The error lines logged on the calling thread since clearLoggedErrors ("" when none), joined with "; ".
std::string loggedErrors();

// Builds the message of a failed call: "<what> failed" and, when the library logged errors on this
// thread, ": <logged errors>".  The Python layer adds the code and its description.
std::string failureText(const std::string& what);

// Throws CallError for a non-zero code of `what`.
inline void check(uint32_t code, const std::string& what) {
  if (code != 0) throw CallError(code, failureText(what));
}

// The platform's text for one of its own codes or a device runtime code ("" when it has none).
std::string platformErrorText(uint32_t code);

}  // namespace python
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_PYTHON_CALL_ERROR_H
