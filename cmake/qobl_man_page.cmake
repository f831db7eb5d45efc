# cmake -DTOOL=<program> -DNAME=<one-line description> -DVERSION=<version> -DOUT=<page.1> -P qobl_man_page.cmake
# Writes the man page of a program from its --help with help2man, and the gzip-compressed copy <page.1>.gz
# that is installed.  The program is run by its name from its own directory, so the page shows the name
# a user types rather than a build path.
foreach(v TOOL NAME VERSION OUT HELP2MAN)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "qobl_man_page.cmake: ${v} is not set")
  endif()
endforeach()
get_filename_component(_out_dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY ${_out_dir})
get_filename_component(_dir "${TOOL}" DIRECTORY)
get_filename_component(_name "${TOOL}" NAME)
set(ENV{PATH} "${_dir}:$ENV{PATH}")
# Sanitizer builds: a leak report at exit must not end up in the page.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION} --name=${NAME}
          --section=1 --output=${OUT} ${_name}
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${_name}")
endif()
execute_process(COMMAND gzip -9 -n -c ${OUT} OUTPUT_FILE ${OUT}.gz RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${OUT}")
endif()
