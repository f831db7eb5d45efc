# The installation directories, checked before anything else is configured.  The installed tree finds its
# parts through paths relative to each other - the programs' and libraries' $ORIGIN run paths, qobl.pc's
# prefix relative to its own directory, the tools' default model directory under <libdir> - so that it
# can be staged (DESTDIR) and moved.  A directory given as an absolute path would yield broken run paths
# and pkg-config paths (or an install that fails half-way), so it is refused here with the reason.
include(GNUInstallDirs)
foreach(_qobl_dir BINDIR LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_qobl_dir}}")
    message(FATAL_ERROR "CMAKE_INSTALL_${_qobl_dir} is ${CMAKE_INSTALL_${_qobl_dir}}: it must be a path relative "
                        "to the install prefix (such as bin, lib, lib64 or include), as the installed programs, "
                        "libraries and qobl.pc find each other through relative paths.  Choose where to install "
                        "with CMAKE_INSTALL_PREFIX (and DESTDIR when staging).")
  endif()
endforeach()
unset(_qobl_dir)
