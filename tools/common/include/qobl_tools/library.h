// The tools' view of libqobl's results and log: result codes as text, log levels by name, and the library's
// ERROR lines carried into the tool's own messages.
//
// A tool calls installLogSink once at start.  From then on every library log line reaches the sink: lines
// logged on a thread that holds an ErrorCapture are kept by it (ERROR and above) instead of being printed,
// so the tool can print the reason once, as part of its own message; every other line is printed on stderr
// as "<program>: <LEVEL> <function>: <text>".
#ifndef QOBL_TOOLS_LIBRARY_H
#define QOBL_TOOLS_LIBRARY_H

#include <cstdint>
#include <string>
#include <vector>

namespace zenlar {
namespace qobltools {

// "301006 (a model file is missing, unreadable, empty or malformed)"; library codes, then the platform's
// error texts, else the bare number.
std::string codeText(uint32_t code);

// --version text of a tool: "<program> (qobl) <version>" and, on a second line, the library's own version
// text (qoblGetVersion).  Ends with a newline.
std::string versionText(const std::string& program);

// What every tool's main() does after parsing its command line: for a bad one (parsed false) prints
// "<program>: <error> (see --help)" on stderr and returns 2; for --help prints `helpText`, for --version
// versionText(program), on stdout, and returns 0; else returns -1, and the program goes on.
int commandLineEnd(const std::string& program, bool parsed, const std::string& error, bool help,
                   const std::string& helpText, bool version);

// The library's log levels by name: TRACE, DEBUG, INFO, WARN, ERROR, ALARM, FATAL (any case).  -1 when the
// text names none.
int logLevelByName(const std::string& name);
const char* logLevelName(uint32_t level);

// Routes the library's log lines through the tools' sink (see above).  `program` prefixes printed lines;
// the text is copied.  Safe to call again (the latest program name wins).
void installLogSink(const std::string& program);

// Collects the ERROR (and higher) lines the library logs on the constructing thread until destruction.
// Captures nest: the innermost one collects.  Use on one thread only.
class ErrorCapture {
 public:
  ErrorCapture();
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }   // texts without trailing newlines
  // The lines joined by "; ", prefixed by ": " when there is at least one ("" otherwise), for appending to
  // a message.
  std::string reason() const;
  void clear() { lines_.clear(); }

 private:
  friend struct CaptureAccess;
  std::vector<std::string> lines_;
  ErrorCapture* outer_ = nullptr;
};

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_LIBRARY_H
