#include "log_level.h"

#include <cctype>
#include <string>

namespace zenlar {
namespace qobm {

namespace {

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"};
const char* const kChannelNames[] = {"APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"};

}  // namespace

uint32_t parseLogLevel(const char* text, uint32_t fallback) {
  if (text == nullptr) return fallback;
  std::string s(text);
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return fallback;
  s = s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
  if (s.size() == 1 && s[0] >= '0' && s[0] <= '0' + static_cast<char>(kMaxLogLevel)) {
    return static_cast<uint32_t>(s[0] - '0');
  }
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (s == "WARNING") return 3;
  for (uint32_t level = 0; level <= kMaxLogLevel; ++level) {
    if (s == kLevelNames[level]) return level;
  }
  return fallback;
}

const char* logLevelName(uint32_t level) { return level <= kMaxLogLevel ? kLevelNames[level] : "?"; }

const char* logChannelName(uint32_t channel) {
  return channel <= kMaxLogChannel ? kChannelNames[channel] : "?";
}

}  // namespace qobm
}  // namespace zenlar
