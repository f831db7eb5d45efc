// Parsing of the log threshold given in QOBM_LOG_LEVEL.
#ifndef QOBM_LOG_LEVEL_H
#define QOBM_LOG_LEVEL_H

#include <cstdint>

namespace zenlar {
namespace qobm {

constexpr uint32_t kMaxLogLevel = 6;     // qobmLL_FATAL
constexpr uint32_t kMaxLogChannel = 8;   // qobmLC_TM

// Level named by text: a number 0..6 or a level name (TRACE, DEBUG, INFO, WARN or WARNING, ERROR, ALARM,
// FATAL) in any case, surrounding blanks ignored.  Null, empty or anything else gives fallback.
uint32_t parseLogLevel(const char* text, uint32_t fallback);

// Upper-case name of a level ("WARN"), "?" when out of range.
const char* logLevelName(uint32_t level);

// Name of a channel ("CL"), "?" when out of range.
const char* logChannelName(uint32_t channel);

}  // namespace qobm
}  // namespace zenlar

#endif  // QOBM_LOG_LEVEL_H
