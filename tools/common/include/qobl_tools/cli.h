// What the tools' command lines (CLI11) share: parsing with -h/--help, flags that refuse a value and
// options that miss theirs, options given twice, whole-number options, and standard streams closed at start.
// Header-only: include it only from sources that link CLI11::CLI11.
#ifndef QOBL_TOOLS_CLI_H
#define QOBL_TOOLS_CLI_H

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace zenlar {
namespace qobltools {

// A whole decimal number from lo to hi, as a transform: the value is rewritten in plain decimal before
// CLI11 converts it, since CLI11 alone would take "010" for octal (8) and "0x10" for hexadecimal (16), and a
// user who types 010 means ten.  The failure names the range and what was given; the range is left out of
// the help (each option's text states its own).
inline CLI::Validator wholeNumber(uint64_t lo, uint64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || v < lo || v > hi)
          return "expects a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", got \"" +
                 text + "\"";
        text = std::to_string(v);
        return std::string();
      },
      "");
}

// "" when no argument gives a value to one of app's flags (options that take none: --help, --version,
// ...); else a message naming the first that does.  CLI11 alone takes "--version=2" as the flag given
// twice and "--verify=0" as the flag turned off, so a value the user typed would silently change or lose
// its meaning.  Arguments after "--" are not options and are left alone.
inline std::string flagGivenAValue(const CLI::App& app, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--") break;
    const size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || eq == std::string::npos) continue;
    const CLI::Option* opt = app.get_option_no_throw(arg.substr(0, eq));
    if (opt != nullptr && opt->get_expected_max() == 0)
      return arg.substr(0, eq) + " takes no value, got \"" + arg + "\"";
  }
  return std::string();
}

// "" unless an option that takes a value is followed by another of app's options (as in "--model --runs 4",
// where the value was forgotten): CLI11 would take "--runs" for the value and then complain about "4".
// Else a message naming both.  A value that starts like an option can still be given as --opt=value.
inline std::string valueMissingBeforeOption(const CLI::App& app, int argc, const char* const* argv) {
  const auto optionNamed = [&app](const std::string& arg) -> const CLI::Option* {
    if (arg.size() < 2 || arg[0] != '-') return nullptr;
    return app.get_option_no_throw(arg.substr(0, arg.find('=')));
  };
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--") break;
    const CLI::Option* opt = arg.find('=') == std::string::npos ? optionNamed(arg) : nullptr;
    if (opt == nullptr || opt->get_expected_min() == 0) continue;
    const std::string next = argv[i + 1] != nullptr ? argv[i + 1] : "";
    if (optionNamed(next) != nullptr)
      return arg + " is missing its value (" + opt->get_type_name() + "): the next argument is the option " + next;
    ++i;   // the value
  }
  return std::string();
}

// "" unless an option that takes one value is given more than once (as in "--runs 5 --runs 6"); else a
// message naming it.  Which of the values was meant cannot be told, and CLI11's own complaint ("At Most 1
// required but received 2") does not say so.  Options an app lets repeat (a policy other than CLI11's
// default Throw, such as TakeLast) are left alone.
inline std::string valueOptionRepeated(const CLI::App& app, int argc, const char* const* argv) {
  std::map<const CLI::Option*, int> seen;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--") break;
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
    const CLI::Option* opt = app.get_option_no_throw(arg.substr(0, arg.find('=')));
    if (opt == nullptr || opt->get_expected_max() != 1 || opt->get_type_size() == 0 ||
        opt->get_multi_option_policy() != CLI::MultiOptionPolicy::Throw)
      continue;
    if (++seen[opt] == 2)
      return opt->get_name() + " is given more than once: give it one value";
    if (arg.find('=') == std::string::npos) ++i;   // its value
  }
  return std::string();
}

// Parses argv into the options defined on app.  True when they were taken, and when -h or --help was given
// (then *help is set and the other options are not to be used); false with a message in *error (CLI11's,
// flagGivenAValue()'s or valueMissingBeforeOption()'s).
inline bool parseCommandLine(CLI::App& app, int argc, const char* const* argv, bool* help, std::string* error) {
  for (const std::string& problem : {flagGivenAValue(app, argc, argv), valueMissingBeforeOption(app, argc, argv),
                                     valueOptionRepeated(app, argc, argv)}) {
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    *help = true;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return false;
  }
  return true;
}

// A standard stream closed when a tool starts would lend its number to the first file the tool opens (a
// model file, a JSON report), and what is printed would go into that file.  Each closed one is held by
// /dev/null opened for reading instead, so that writing to it fails and is reported.  Call first in main.
inline void holdClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_CLI_H
