# Installation and export: libraries, public headers, the CMake package (find_package(qobl) with targets
# qobl::qobl, qobl::qobm, qobl::qobe, qobl::qobcrt, qobl::tvm_runtime), qobl.pc for pkg-config, the
# main job with the demo models, and the sample sources.
#
#   cmake --install build --prefix /opt/qobl
#   cmake -DCMAKE_PREFIX_PATH=/opt/qobl ...      find_package(qobl REQUIRED)  target_link_libraries(app qobl::qobl)
#   PKG_CONFIG_PATH=/opt/qobl/lib/pkgconfig pkg-config --cflags --libs qobl
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOBL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qobl)
set(QOBL_INSTALL_LIBS qobl qobm qobe qobcrt tvm_runtime)

foreach(t ${QOBL_INSTALL_LIBS})
  if(NOT TARGET ${t})
    message(FATAL_ERROR "qobl_install.cmake: target ${t} is not defined")
  endif()
endforeach()

# The platform libraries publish their include directories as source paths; consumers of the installed
# package find every public header under <prefix>/include instead.
foreach(t qobm qobe qobcrt tvm_runtime)
  get_target_property(_qobl_src ${t} SOURCE_DIR)
  set_target_properties(${t} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${_qobl_src}/include>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
endforeach()

# Installed libraries find each other next to themselves; installed programs find them in ../lib.
set_target_properties(${QOBL_INSTALL_LIBS} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${QOBL_INSTALL_LIBS} EXPORT qoblTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${CMAKE_SOURCE_DIR}/api/include/qobl_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(p qobm qobe qobcrt tvm)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/${p}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()

install(EXPORT qoblTargets NAMESPACE qobl:: FILE qoblTargets.cmake DESTINATION ${QOBL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qoblConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/qoblConfig.cmake INSTALL_DESTINATION ${QOBL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/qoblConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/qoblConfig.cmake ${CMAKE_BINARY_DIR}/cmake/qoblConfigVersion.cmake
  DESTINATION ${QOBL_INSTALL_CMAKEDIR})

# qobl.pc names its prefix relative to its own directory, so the installed tree can be moved.
string(REGEX REPLACE "[^/]+" ".." QOBL_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_SOURCE_DIR}/cmake/qobl.pc.in ${CMAKE_BINARY_DIR}/cmake/qobl.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/qobl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools (the main job, qobl-info, the model file generator) and the demo models qobl-run runs by
# default (<prefix>/share/qobl/models/classifier).
foreach(tool qobl-run qobl-info qobl_model_gen)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET qobl_models)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/models/ DESTINATION ${CMAKE_INSTALL_DATADIR}/qobl/models
    FILES_MATCHING PATTERN "*.so" PATTERN "*.json" PATTERN "*.bin" PATTERN "CMakeFiles" EXCLUDE)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/samples/sync_classify.c ${CMAKE_SOURCE_DIR}/samples/async_pipeline.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qobl/samples)
