# Installation and export: libraries, public headers, the CMake package (find_package(qobl) with targets
# qobl::qobl, qobl::qobm, qobl::qobe, qobl::qobcrt, qobl::tvm_runtime), qobl.pc for pkg-config, the tools
# with the demo models, and the sample sources.
#
#   cmake --install build --prefix /opt/qobl
#   cmake -DCMAKE_PREFIX_PATH=/opt/qobl ...      find_package(qobl REQUIRED)  target_link_libraries(app qobl::qobl)
#   PKG_CONFIG_PATH=/opt/qobl/lib/pkgconfig pkg-config --cflags --libs qobl
#   cmake -Dqobl_DIR=<build>/cmake ...          the same package, for the build tree without installing
#
# Every file belongs to one install component, one Debian package each (cmake/qobl_package.cmake):
#   runtime  libqobl0      the shared libraries (lib<name>.so.<major>...) and the demo models
#                          (<libdir>/qobl/models)
#   dev      libqobl-dev   headers, the lib<name>.so links, the CMake package, qobl.pc, the samples
#   tools    qobl-tools    the command-line programs, their man pages and bash completion
#   serve    qobl-serve    the inference server and its man page
#
# The TVM runtime subset is private to libqobl: it goes to <libdir>/qobl/ (no lib<name>.so link, so nothing
# links it by accident) and its headers to <includedir>/qobl-tvm/, so that neither a real TVM's programs
# nor its compilers find it, and libqobl finds it through a DT_RPATH that LD_LIBRARY_PATH cannot override
# (see "The TVM runtime stays private" in docs/building_against_qobl.md).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOBL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qobl)
set(QOBL_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/qobl)
set(QOBL_INSTALL_TVM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qobl-tvm)
set(QOBL_INSTALL_LIBS qobl qobm qobe qobcrt)

foreach(t ${QOBL_INSTALL_LIBS} tvm_runtime)
  if(NOT TARGET ${t})
    message(FATAL_ERROR "qobl_install.cmake: target ${t} is not defined")
  endif()
endforeach()

# The platform libraries publish their include directories as source paths; consumers of the installed
# package find every public header under <prefix>/include (the TVM runtime's under include/qobl-tvm).
foreach(t qobm qobe qobcrt)
  get_target_property(_qobl_src ${t} SOURCE_DIR)
  set_target_properties(${t} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${_qobl_src}/include>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
endforeach()
get_target_property(_qobl_src tvm_runtime SOURCE_DIR)
set_target_properties(tvm_runtime PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${_qobl_src}/include>;$<INSTALL_INTERFACE:${QOBL_INSTALL_TVM_INCLUDEDIR}>")
# The TVM headers are C++17 (fold expressions among others): code that includes them is compiled as C++17
# at least, whatever standard its project asks for.
target_compile_features(tvm_runtime INTERFACE cxx_std_17)

# Run paths.  The platform libraries find each other next to themselves, the private TVM runtime finds
# libqobcrt one directory up, the programs find the libraries in ../<libdir>.  libqobl looks in its
# private directory first, then next to itself, and with DT_RPATH rather than DT_RUNPATH: DT_RPATH is
# searched before LD_LIBRARY_PATH, so a TVM runtime on LD_LIBRARY_PATH never replaces its own.  (The build
# tree gets the same tag: libqobl in <build>/lib uses the runtime beside it whatever LD_LIBRARY_PATH says.)
set_target_properties(qobm qobe qobcrt PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(qobl PROPERTIES INSTALL_RPATH "$ORIGIN/qobl:$ORIGIN")
target_link_options(qobl PRIVATE "LINKER:--disable-new-dtags")
set_target_properties(tvm_runtime PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(TARGETS ${QOBL_INSTALL_LIBS} EXPORT qoblTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tvm_runtime EXPORT qoblTargets
  LIBRARY DESTINATION ${QOBL_INSTALL_PRIVATE_LIBDIR} COMPONENT runtime NAMELINK_SKIP)

install(FILES ${CMAKE_SOURCE_DIR}/api/include/qobl_api.h ${CMAKE_BINARY_DIR}/include/qobl_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
foreach(p qobm qobe qobcrt)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/${p}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev)
endforeach()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/tvm/include/ DESTINATION ${QOBL_INSTALL_TVM_INCLUDEDIR}
  COMPONENT dev)

install(EXPORT qoblTargets NAMESPACE qobl:: FILE qoblTargets.cmake DESTINATION ${QOBL_INSTALL_CMAKEDIR}
  COMPONENT dev)
# The same package for the build tree, next to its qoblConfig.cmake: an application finds the built
# libraries with -Dqobl_DIR=<build>/cmake (or <build> on CMAKE_PREFIX_PATH), headers from the source tree.
export(EXPORT qoblTargets NAMESPACE qobl:: FILE ${CMAKE_BINARY_DIR}/cmake/qoblTargets.cmake)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qoblConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/qoblConfig.cmake INSTALL_DESTINATION ${QOBL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/qoblConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/qoblConfig.cmake ${CMAKE_BINARY_DIR}/cmake/qoblConfigVersion.cmake
  DESTINATION ${QOBL_INSTALL_CMAKEDIR} COMPONENT dev)

# qobl.pc names its prefix relative to its own directory, so the installed tree can be moved.
string(REGEX REPLACE "[^/]+" ".." QOBL_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_SOURCE_DIR}/cmake/qobl.pc.in ${CMAKE_BINARY_DIR}/cmake/qobl.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/qobl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools (the main job, qobl-info, the model file generator) and the demo models qobl-run runs by
# default (<prefix>/<libdir>/qobl/models/classifier: their kernels are machine code, so they live under the
# library directory rather than share/).  qobl-serve installs itself, into the serve component.
foreach(tool qobl-run qobl-info qobl_model_gen)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
if(TARGET qobl_models)
  set(QOBL_INSTALL_MODELSDIR ${QOBL_INSTALL_PRIVATE_LIBDIR}/models)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/models/ DESTINATION ${QOBL_INSTALL_MODELSDIR}
    COMPONENT runtime
    FILES_MATCHING PATTERN "*.json" PATTERN "*.bin" PATTERN "CMakeFiles" EXCLUDE)
  get_property(_qobl_model_libs GLOBAL PROPERTY QOBL_MODEL_LIBRARIES)
  foreach(entry ${_qobl_model_libs})
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 _target)
    list(GET entry 1 _rel)
    install(TARGETS ${_target} LIBRARY DESTINATION ${QOBL_INSTALL_MODELSDIR}/${_rel} COMPONENT runtime)
  endforeach()
endif()
install(FILES ${CMAKE_SOURCE_DIR}/samples/sync_classify.c ${CMAKE_SOURCE_DIR}/samples/async_pipeline.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qobl/samples COMPONENT dev)
