#include "qobl_tools/library.h"

#include <strings.h>

#include <cstdio>
#include <mutex>

#include "qobl_api.h"

namespace zenlar {
namespace qobltools {

namespace {

struct CodeName {
  uint32_t code;
  const char* text;
};

const CodeName kCodes[] = {
    {qoblERR_INVALID_PARAM, "invalid parameter"},
    {qoblERR_MODEL_OPERATION, "a model getter or setter failed"},
    {qoblERR_MODEL_FILE, "a model file is missing, unreadable, empty or malformed"},
    {qoblERR_CREATE_MODEL, "the model runtime or its parameters could not be created"},
    {qoblERR_INPUT_OP_EXISTS, "the graph already has its input op"},
    {qoblERR_PARENT_NOT_IN_GRAPH, "the parent op is in no graph"},
    {qoblERR_NODE_EXISTS, "the node is already in the graph"},
    {qoblERR_CONNECT_OPS, "the ops cannot be connected"},
    {qoblERR_CREATE_OP, "the op could not be created"},
    {qoblERR_SAME_OP, "parent and child are the same op"},
    {qoblERR_CHILD_HAS_PARENT, "the child is an input op or already has a parent"},
    {qoblERR_GRAPH_IN_USE, "a stream still uses the graph"},
    {qoblERR_OP_NOT_IN_STREAM, "the op is not in the stream's graph"},
    {qoblERR_STREAM_ALREADY_BUILT, "the stream is already built"},
    {qoblERR_STREAM_NOT_BUILT, "the stream has not been built"},
    {qoblERR_INVALID_STREAM, "the stream is not registered"},
    {qoblERR_CREATE_STREAM, "the device stream could not be created"},
    {qoblERR_BUILD_STREAM, "the stream build failed"},
    {qoblERR_STREAM_INPUT, "a run's input was rejected"},
    {qoblERR_STREAM_INSTRUCTION, "a run could not be prepared"},
    {qoblERR_RUN_STREAM, "a run could not be started or failed"},
    {qoblERR_DESTROY_STREAM, "the stream could not be destroyed"},
    {qoblERR_RUN_PENDING, "input accepted, waiting for more inputs"},
    {qoblERR_STREAM_SYNC_TIMEOUT, "stream synchronisation timed out"},
    {qoblERR_DEVICE_SYNC_TIMEOUT, "device synchronisation timed out"},
};

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"};

// The innermost capture of this thread.
thread_local ErrorCapture* tCapture = nullptr;

std::mutex& programMutex() {
  static std::mutex* m = new std::mutex;   // never destroyed: lines may arrive during exit
  return *m;
}
std::string& programName() {
  static std::string* s = new std::string("qobl");
  return *s;
}

}  // namespace

struct CaptureAccess {
  static void add(ErrorCapture* c, std::string line) { c->lines_.push_back(std::move(line)); }
};

namespace {

void toolSink(uint32_t /*channel*/, uint32_t level, const char* function, const char* /*file*/,
              uint32_t /*line*/, const char* text, void* /*user*/) {
  std::string body = text != nullptr ? text : "";
  while (!body.empty() && (body.back() == '\n' || body.back() == ' ')) body.pop_back();
  if (tCapture != nullptr && level >= qobmLL_ERROR) {
    CaptureAccess::add(tCapture, body);
    return;
  }
  std::string prog;
  {
    std::lock_guard<std::mutex> g(programMutex());
    prog = programName();
  }
  const std::string out = prog + ": " + logLevelName(level) + " " + (function != nullptr ? function : "?") +
                          ": " + body + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace

std::string codeText(uint32_t code) {
  for (const auto& c : kCodes) {
    if (c.code == code) return std::to_string(code) + " (" + c.text + ")";
  }
  char text[256] = {0};
  if (qobmGetErrDesc(code, text, sizeof text) == 0 && text[0] != '\0') return std::to_string(code) + " (" + text + ")";
  return std::to_string(code);
}

std::string versionText(const std::string& program) {
  const char* lib = nullptr;
  std::string text = program + " (qobl) " + QOBL_TOOLS_VERSION + "\n";
  if (qoblGetVersion(&lib, nullptr, nullptr, nullptr, nullptr) == 0 && lib != nullptr) text += std::string("library: ") + lib + "\n";
  return text;
}

int commandLineEnd(const std::string& program, bool parsed, const std::string& error, bool help,
                   const std::string& helpText, bool version) {
  if (!parsed) {
    std::fprintf(stderr, "%s: %s (see --help)\n", program.c_str(), error.c_str());
    return 2;
  }
  if (help || version) {
    std::fputs(help ? helpText.c_str() : versionText(program).c_str(), stdout);
    return 0;
  }
  return -1;
}

int logLevelByName(const std::string& name) {
  for (int i = 0; i < 7; ++i) {
    if (strcasecmp(name.c_str(), kLevelNames[i]) == 0) return i;
  }
  return -1;
}

const char* logLevelName(uint32_t level) { return level < 7 ? kLevelNames[level] : "LOG"; }

void installLogSink(const std::string& program) {
  {
    std::lock_guard<std::mutex> g(programMutex());
    programName() = program;
  }
  qobmSetLogSink(toolSink, nullptr);
}

ErrorCapture::ErrorCapture() : outer_(tCapture) { tCapture = this; }

ErrorCapture::~ErrorCapture() { tCapture = outer_; }

std::string ErrorCapture::reason() const {
  std::string r;
  for (std::string l : lines_) {
    if (!l.empty() && l.back() == '.') l.pop_back();
    r += (r.empty() ? ": " : "; ") + l;
  }
  return r;
}

}  // namespace qobltools
}  // namespace zenlar
