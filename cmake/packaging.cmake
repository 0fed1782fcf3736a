# Installation and the Debian package. `cmake --install build` puts kvx, libKVXDLL.so, the
# interface header, a pkg-config file, the man page and the shell completions under the prefix;
# `cpack --config build/CPackConfig.cmake` (or the package target) makes the .deb from the same
# rules. Other folders (the GUI) add their own install() rules and land in the same package.
include(GNUInstallDirs)
# Installing (and so packaging) takes what is built and builds nothing: the package test must not
# start a build of everything.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The man page and completions are made by kvx from its own option declarations, so that they
# cannot disagree with what it accepts.
set(KVX_GENERATED ${CMAKE_BINARY_DIR}/share)
add_custom_command(
  OUTPUT ${KVX_GENERATED}/kvx.1 ${KVX_GENERATED}/kvx.bash ${KVX_GENERATED}/_kvx
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_GENERATED}
  COMMAND $<TARGET_FILE:kvx> --generate man > ${KVX_GENERATED}/kvx.1
  COMMAND $<TARGET_FILE:kvx> --generate bash > ${KVX_GENERATED}/kvx.bash
  COMMAND $<TARGET_FILE:kvx> --generate zsh > ${KVX_GENERATED}/_kvx
  DEPENDS kvx
  COMMENT "kvx man page and shell completions")
add_custom_target(kvx_docs ALL DEPENDS ${KVX_GENERATED}/kvx.1 ${KVX_GENERATED}/kvx.bash
                                       ${KVX_GENERATED}/_kvx)

# Installed programs find the library in the prefix's library folder, not the build tree.
set_target_properties(kvx PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS kvx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# No soname version: the GUI binds libKVXDLL.so by that name at run time.
install(TARGETS KVXDLL LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/engine/undelete/undelete.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/undelete COMPONENT runtime)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kvxdll.pc.in ${CMAKE_BINARY_DIR}/kvxdll.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvxdll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT runtime)
install(FILES ${KVX_GENERATED}/kvx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES ${KVX_GENERATED}/kvx.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME kvx COMPONENT runtime)
install(FILES ${KVX_GENERATED}/_kvx DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
        COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rekovia)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Rekovia developers <rekovia@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Deleted-file recovery: the kvx command line and its engine")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Set by hand: dpkg-shlibdeps would need the whole Debian toolchain at package time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libewf2 (>= 20140813)")  # libewf: E01 images
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sleuthkit")
if(REKOVIA_GUI)
  # The program: Qt 6 widgets, and pkexec for the restart with administrator rights.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
         ", libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4)")
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", pkexec")
endif()
include(CPack)
