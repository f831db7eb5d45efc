#include "call_error.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <qobm/qobm.h>

namespace zenlar {
namespace qobl {
namespace python {

namespace {

// Error lines kept per thread; bounded so that a failure storm cannot grow it without limit.
constexpr size_t kMaxLoggedBytes = 2048;
thread_local std::string tLoggedErrors;

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"};
const char* const kChannelNames[] = {"APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"};

// The line as the platform's default sink writes it: time stamp, level, channel, file:line, function and
// the text without its trailing newline, in one write so that lines of different threads do not mix.
void writeStderr(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
                 const char* text) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  char stamp[64];
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ld", static_cast<long>(tv.tv_usec));
  std::string body(text);
  if (!body.empty() && body.back() == '\n') body.pop_back();
  std::string out = std::string(stamp) + " [" + (level < 7 ? kLevelNames[level] : "?") + "] [" +
                    (channel < 9 ? kChannelNames[channel] : "?") + "] " + file + ':' + std::to_string(line) + ' ' +
                    function + ": " + body + '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
}

void sink(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
          const char* text, void* /*user*/) {
  writeStderr(channel, level, function != nullptr ? function : "", file != nullptr ? file : "", line,
              text != nullptr ? text : "");
  if (level < qobmLL_ERROR || text == nullptr || tLoggedErrors.size() >= kMaxLoggedBytes) return;
  std::string t(text);
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  if (!tLoggedErrors.empty()) tLoggedErrors += "; ";
  tLoggedErrors += t;
}

}  // namespace

void installLogSink() {
  static std::once_flag once;
  std::call_once(once, [] { qobmSetLogSink(&sink, nullptr); });
}

void clearLoggedErrors() { tLoggedErrors.clear(); }

std::string loggedErrors() { return tLoggedErrors; }

std::string failureText(const std::string& what) {
  std::string text = what + " failed";
  if (!tLoggedErrors.empty()) text += ": " + tLoggedErrors;
  return text;
}

std::string platformErrorText(uint32_t code) {
  char text[256] = {0};
  if (qobmGetErrDesc(code, text, sizeof text) != 0) return "";
  return text;
}

}  // namespace python
}  // namespace qobl
}  // namespace zenlar
