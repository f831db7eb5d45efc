# Man pages, bash completion and the Debian packages.
#
#   bash scripts/package.sh                                   builds the packages into build-deb/packages
#   cpack -G DEB -B <dir> --config <build>/CPackConfig.cmake  the same from any configured build
#
# Packages (one per install component, see cmake/qobl_install.cmake), installed under /usr:
#   libqobl<major>  the shared libraries, the card platform (with the private TVM runtime) and the demo
#                   models; depends on what dpkg-shlibdeps finds; its shlibs file names the public libraries
#   libqobl-dev     headers, lib<name>.so links, CMake package, qobl.pc, samples; depends on
#                   libqobl<major> of the same version and libdlpack-dev (the TVM headers include DLPack)
#   qobl-tools      the programs, their man pages and bash completion; depends on libqobl<major> of the
#                   same version and on what dpkg-shlibdeps finds
#   python3-qobl    the Python package qobl (when it is built); depends on libqobl<major> of the same
#                   version, the python3 it was built for and python3-numpy
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
    install(FILES ${QOBL_MAN_DIR}/${prog}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
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
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/shlibs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "run compiled neural-network models on the AI accelerator card - libraries
libqobl runs compiled neural-network models on the card as pipelines of ops
(input, pre-processing, run-model, memory-copy) behind a C API. This package
holds the shared library, the card platform it runs on (the simulated card's
device runtime, the dataset/event/log library, the op engine, and the TVM
runtime subset, which is private to libqobl) and the demo models.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqobl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS libdlpack-dev)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "run compiled neural-network models on the AI accelerator card - development files
The C headers of libqobl and its card platform, the CMake package
(find_package(qobl)), the pkg-config file qobl.pc and two sample programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qobl-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "run compiled neural-network models on the AI accelerator card - tools
qobl-run loads a model, runs it on the card as a pipeline of ops and reports
throughput, latency and whether the results match; qobl-info shows the
library, the card's devices and what a model is; qobl-model-gen writes model
directories (the demo models, or your own kernels). With man pages and bash
completion.")

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
    "run compiled neural-network models on the AI accelerator card - Python
The Python package qobl: models and pipelines of libqobl from Python, numpy
arrays in and out, futures for asynchronous runs.")
endif()

include(CPack)
