# Writes the commit and build date of the library's version text into a header, at every build.
#
#   cmake -DSOURCE_DIR=<source tree> -DOUT=<header> [-DGIT=<git program>] -P qobl_build_info.cmake
#
# OUT gets two definitions, QOBL_COMMIT_TEXT (the source tree's HEAD, 12 hex digits, followed by "-dirty"
# when tracked files differ from HEAD, in the index or the work tree; "unknown" outside a git checkout or
# without git) and QOBL_BUILD_DATE_TEXT (the time of writing, UTC, or SOURCE_DATE_EPOCH when it is set).
# Untracked files do not count: build directories and editor files would otherwise mark every build.
# The file is rewritten only when the commit text differs from the one it already names, so a build at the
# same commit recompiles nothing, and the build after a new commit, or after the tree became dirty or clean
# again, recompiles the one source that includes it: the date is that of the first build of that state
# (further edits of an already dirty tree keep the date).
if(NOT SOURCE_DIR OR NOT OUT)
  message(FATAL_ERROR "qobl_build_info.cmake: SOURCE_DIR and OUT are required")
endif()

set(commit "unknown")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE _head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND _head MATCHES "^[0-9a-f]+$")
    set(commit "${_head}")
    # status rather than diff-index: it compares contents, so a file only touched (new time stamp, same
    # bytes) is not a change.  --no-optional-locks: the build never takes the index lock that a git command
    # the user runs meanwhile may need.  "-- .": only the source tree counts, when it is part of a larger
    # checkout.  Should status fail, the commit is still known and is named without the flag.
    execute_process(COMMAND ${GIT} --no-optional-locks -C ${SOURCE_DIR} status --porcelain --untracked-files=no -- .
                    OUTPUT_VARIABLE _changes ERROR_QUIET RESULT_VARIABLE _rc)
    if(_rc EQUAL 0 AND NOT _changes STREQUAL "")
      set(commit "${_head}-dirty")
    endif()
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
