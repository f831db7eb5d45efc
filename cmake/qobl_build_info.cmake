# Writes the commit and build date of the library's version text into a header, at every build.
#
#   cmake -DSOURCE_DIR=<source tree> -DOUT=<header> [-DGIT=<git program>] -P qobl_build_info.cmake
#
# OUT gets two definitions, QOBL_COMMIT_TEXT (the source tree's HEAD, 12 hex digits, or "unknown" outside
# a git checkout or without git) and QOBL_BUILD_DATE_TEXT (the time of writing, UTC, or SOURCE_DATE_EPOCH
# when it is set).  The file is rewritten only when the commit differs from the one it already names, so
# a build at the same commit recompiles nothing, and the build after a new commit recompiles the one
# source that includes it: the date is that of the first build of the commit.
if(NOT SOURCE_DIR OR NOT OUT)
  message(FATAL_ERROR "qobl_build_info.cmake: SOURCE_DIR and OUT are required")
endif()

set(commit "unknown")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE _head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND _head MATCHES "^[0-9a-f]+$")
    set(commit "${_head}")
  endif()
endif()

set(commit_line "#define QOBL_COMMIT_TEXT \"${commit}\"")
if(EXISTS ${OUT})
  file(STRINGS ${OUT} _old REGEX "^#define QOBL_COMMIT_TEXT ")
  if(_old STREQUAL commit_line)
    return()
  endif()
endif()

string(TIMESTAMP date "%a, %d %b %Y, %H:%M:%S" UTC)
# Written aside and renamed, so that an interrupted build never leaves half a header behind.
file(WRITE ${OUT}.tmp
  "/* Generated at build time by cmake/qobl_build_info.cmake: the commit and date of this build. */\n"
  "${commit_line}\n"
  "#define QOBL_BUILD_DATE_TEXT \"${date}\"\n")
file(RENAME ${OUT}.tmp ${OUT})
