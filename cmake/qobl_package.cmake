# Man pages, bash completion and the Debian packages.
#
#   bash scripts/package.sh                                   builds the packages into build-deb/packages
#   cpack -G DEB -B <dir> --config <build>/CPackConfig.cmake  the same from any configured build
#
# Packages (one per install component, see cmake/qobl_install.cmake), installed under /usr:
#   libqobl<major>  the shared libraries, the card platform (with the private TVM runtime) and the demo
#                   models; depends on what dpkg-shlibdeps finds; its shlibs and symbols files name the
#                   public libraries
#   libqobl-dev     headers, lib<name>.so links, CMake package, qobl.pc, samples; depends on
#                   libqobl<major> of the same version and libdlpack-dev (the TVM headers include DLPack)
#   qobl-tools      the command-line programs, their man pages and bash completion; depends on
#                   libqobl<major> of the same version and on what dpkg-shlibdeps finds
#   qobl-serve      the inference server and its man page (when it is built); depends on libqobl<major> of
#                   the same version and on what dpkg-shlibdeps finds (gRPC, protobuf, the HTTP server)
#   python3-qobl    the Python package qobl (when it is built); depends on libqobl<major> of the same
#                   version, the python3 it was built for and python3-numpy
# Every package carries /usr/share/doc/<package>/copyright and changelog.Debian.gz, and its lintian
# overrides when it has any (cmake/debian/).
include(GNUInstallDirs)

# ---- man pages: generated from each program's --help at build time ----
find_program(QOBL_HELP2MAN help2man)
set(QOBL_MAN_DIR ${CMAKE_BINARY_DIR}/man/man1)
# <target>  <program name>  <one-line description>
set(_qobl_man_pages
  "qobl-run|qobl-run|run a model on the card as a pipeline of ops and report its results and timings"
  "qobl-info|qobl-info|show the library version, the card's devices, or what a model is"
  "qobl_model_gen|qobl-model-gen|write model directories for the card: demo models or your own kernels"
  "qobl-serve|qobl-serve|serve models on the card over the Open Inference Protocol")
if(NOT QOBL_HELP2MAN)
  message(STATUS "help2man not found: no man pages (bash scripts/install_deps.sh installs it)")
else()
  set(_qobl_man_outputs)
  foreach(entry ${_qobl_man_pages})
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 target)
    list(GET entry 1 prog)
    list(GET entry 2 description)
    if(NOT TARGET ${target})
      continue()
    endif()
    add_custom_command(
      OUTPUT ${QOBL_MAN_DIR}/${prog}.1 ${QOBL_MAN_DIR}/${prog}.1.gz
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${target}> -DNAME=${description}
              -DVERSION=${PROJECT_VERSION} -DOUT=${QOBL_MAN_DIR}/${prog}.1 -DHELP2MAN=${QOBL_HELP2MAN}
              -P ${CMAKE_SOURCE_DIR}/cmake/qobl_man_page.cmake
      DEPENDS ${target} ${CMAKE_SOURCE_DIR}/cmake/qobl_man_page.cmake
      COMMENT "Man page of ${prog}"
      VERBATIM)
    list(APPEND _qobl_man_outputs ${QOBL_MAN_DIR}/${prog}.1)
    # Each page goes with its program: qobl-serve's into its own package.
    set(_component tools)
    if(target STREQUAL "qobl-serve")
      set(_component serve)
    endif()
    install(FILES ${QOBL_MAN_DIR}/${prog}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_component})
  endforeach()
  add_custom_target(qobl_man_pages ALL DEPENDS ${_qobl_man_outputs})
endif()

# ---- bash completion ----
if(TARGET qobl-run)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/qobl_run/qobl-run.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qobl-run COMPONENT tools)
endif()

# ---- Debian packages ----
set(QOBL_DEB_RUNTIME_PACKAGE libqobl${PROJECT_VERSION_MAJOR})
# The shlibs file of the library package: packages built against libqobl depend on at least this version.
# Only the public libraries are listed; the TVM runtime in <libdir>/qobl is nobody else's to link.
set(_qobl_shlibs)
foreach(lib qobl qobm qobe qobcrt)
  string(APPEND _qobl_shlibs
    "lib${lib} ${PROJECT_VERSION_MAJOR} ${QOBL_DEB_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/debian/shlibs "${_qobl_shlibs}")
# Its symbols file, written from the built public libraries after every build of them: each exported
# (versioned) symbol with the version that brings it, and the development package that builds against it.
set(_qobl_control_symbols)
find_program(QOBL_DPKG_GENSYMBOLS dpkg-gensymbols)
if(QOBL_DPKG_GENSYMBOLS)
  set(_qobl_gensymbols_args)
  foreach(lib qobl qobm qobe qobcrt)
    list(APPEND _qobl_gensymbols_args -e$<TARGET_FILE:${lib}>)
  endforeach()
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/debian/symbols
    COMMAND ${QOBL_DPKG_GENSYMBOLS} -q -p${QOBL_DEB_RUNTIME_PACKAGE} -v${PROJECT_VERSION} ${_qobl_gensymbols_args}
            -O${CMAKE_BINARY_DIR}/debian/symbols
    # Packages built against these libraries find them through libqobl-dev.
    COMMAND sed -i "/#MINVER#$/a * Build-Depends-Package: libqobl-dev" ${CMAKE_BINARY_DIR}/debian/symbols
    DEPENDS qobl qobm qobe qobcrt
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/debian
    COMMENT "Symbols file of ${QOBL_DEB_RUNTIME_PACKAGE}"
    VERBATIM)
  add_custom_target(qobl_deb_symbols ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/symbols)
  set(_qobl_control_symbols ${CMAKE_BINARY_DIR}/debian/symbols)
else()
  message(STATUS "dpkg-gensymbols not found: the library package has no symbols file (install dpkg-dev)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qobl)
set(CPACK_PACKAGE_VENDOR zenlar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libqobl developers <qobl-dev@zenlar.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps looks up the project's own libraries (needed by the programs) in the build tree; their
# dependency is stated by hand (the component dependencies below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QOBL_DEB_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader cache is refreshed through dpkg's ldconfig trigger; the package's own postinst and postrm
# stand in for the ones CPack would otherwise write to call ldconfig directly.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/shlibs ${_qobl_control_symbols}
  ${CMAKE_SOURCE_DIR}/cmake/debian/runtime-control/triggers ${CMAKE_SOURCE_DIR}/cmake/debian/runtime-control/postinst
  ${CMAKE_SOURCE_DIR}/cmake/debian/runtime-control/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "run neural-network models on the AI accelerator card - libraries
libqobl runs compiled neural-network models on the card as pipelines of ops
(input, pre-processing, run-model, memory-copy) behind a C API. This package
holds the shared library, the card platform it runs on (the simulated card's
device runtime, the dataset/event/log library, the op engine, and the TVM
runtime subset, which is private to libqobl) and the demo models.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqobl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS libdlpack-dev)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "run neural-network models on the AI accelerator card - development files
The C headers of libqobl and its card platform, the CMake package
(find_package(qobl)), the pkg-config file qobl.pc and two sample programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qobl-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "run neural-network models on the AI accelerator card - tools
qobl-run loads a model, runs it on the card as a pipeline of ops and reports
throughput, latency and whether the results match; qobl-info shows the
library, the card's devices and what a model is; qobl-model-gen writes model
directories (the demo models, or your own kernels). With man pages and bash
completion.")

if(TARGET qobl-serve)
  list(APPEND CPACK_COMPONENTS_ALL serve)
  set(CPACK_COMPONENT_SERVE_DEPENDS runtime)
  set(CPACK_DEBIAN_SERVE_PACKAGE_NAME qobl-serve)
  set(CPACK_DEBIAN_SERVE_PACKAGE_SECTION net)
  set(CPACK_COMPONENT_SERVE_DESCRIPTION
    "run neural-network models on the AI accelerator card - server
qobl-serve puts every model of a model repository on every card of the host
behind the Open Inference Protocol (KServe v2): HTTP/REST with JSON and
binary tensor data, and gRPC. With its man page.")
endif()

if(TARGET qobl_python)
  # The extension is built for one Python version (its file name carries the ABI tag).
  execute_process(COMMAND ${QOBL_PYTHON_EXECUTABLE} -c "print('%d.%d' % __import__('sys').version_info[:2])"
                  OUTPUT_VARIABLE _qobl_py_ver OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\1" _qobl_py_major "${_qobl_py_ver}")
  string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\2" _qobl_py_minor "${_qobl_py_ver}")
  math(EXPR _qobl_py_next "${_qobl_py_minor} + 1")
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qobl)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${_qobl_py_ver}), python3 (<< ${_qobl_py_major}.${_qobl_py_next}), python3-numpy")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "run neural-network models on the AI accelerator card - Python
The Python package qobl: models and pipelines of libqobl from Python, numpy
arrays in and out, futures for asynchronous runs.")
endif()

# ---- copyright, changelog and lintian overrides of every package ----
# Installed only by component (EXCLUDE_FROM_ALL), that is by CPack: a plain cmake --install leaves them out.
# The changelog's one entry carries the packages' version and the date of the source's last commit
# (SOURCE_DATE_EPOCH when set), so the same source gives the same file.
set(QOBL_DEB_SOURCE ${CPACK_PACKAGE_NAME})
set(QOBL_DEB_VERSION ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(QOBL_DEB_COMMIT_NOTE "")
set(_qobl_epoch "$ENV{SOURCE_DATE_EPOCH}")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 "--format=%h %ct"
                  OUTPUT_VARIABLE _qobl_git OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND _qobl_git MATCHES "^([0-9a-f]+) ([0-9]+)$")
    set(QOBL_DEB_COMMIT_NOTE ", commit ${CMAKE_MATCH_1}")
    if(_qobl_epoch STREQUAL "")
      set(_qobl_epoch ${CMAKE_MATCH_2})
    endif()
  endif()
endif()
set(_qobl_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${_qobl_epoch}")
string(TIMESTAMP QOBL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP QOBL_DEB_COPYRIGHT_YEARS "%Y" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_qobl_saved_epoch}")
# The copyright years: from the first commit's year to the last one's.
if(NOT QOBL_DEB_COMMIT_NOTE STREQUAL "")
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log --reverse --format=%ad --date=format:%Y
                  OUTPUT_VARIABLE _qobl_years OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REGEX MATCH "^[0-9]+" _qobl_first_year "${_qobl_years}")
  if(_qobl_first_year AND NOT _qobl_first_year STREQUAL QOBL_DEB_COPYRIGHT_YEARS)
    set(QOBL_DEB_COPYRIGHT_YEARS "${_qobl_first_year}-${QOBL_DEB_COPYRIGHT_YEARS}")
  endif()
endif()
set(_qobl_deb_doc ${CMAKE_BINARY_DIR}/debian/doc)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/copyright.in ${_qobl_deb_doc}/copyright @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${_qobl_deb_doc}/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${_qobl_deb_doc}/changelog OUTPUT_FILE ${_qobl_deb_doc}/changelog.Debian.gz
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${_qobl_deb_doc}/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/common.lintian-overrides)
foreach(c ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${c} _c)
  set(_pkg ${CPACK_DEBIAN_${_c}_PACKAGE_NAME})
  install(FILES ${_qobl_deb_doc}/copyright ${_qobl_deb_doc}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    COMPONENT ${c} EXCLUDE_FROM_ALL)
  # Lintian overrides: the ones every package shares, then the package's own.
  file(READ ${CMAKE_SOURCE_DIR}/cmake/debian/common.lintian-overrides _overrides)
  if(EXISTS ${CMAKE_SOURCE_DIR}/cmake/debian/${c}.lintian-overrides)
    file(READ ${CMAKE_SOURCE_DIR}/cmake/debian/${c}.lintian-overrides _own)
    string(APPEND _overrides "${_own}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/${c}.lintian-overrides)
  endif()
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/debian/overrides/${_pkg} CONTENT "${_overrides}" @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/debian/overrides/${_pkg}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT ${c} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
