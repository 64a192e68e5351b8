# SPDX-License-Identifier: Apache-2.0
# Installation: the main library in the library directory and the two key
# libraries in a private directory beneath it, LIBDIR/telmor-vaq-api/, which
# the main library's RUNPATH names first ($ORIGIN/telmor-vaq-api:$ORIGIN; in
# the build tree they sit beside it); the public header, the tool, its manual
# page and the documents an operator needs, a pkg-config file and a CMake
# package with an imported target.
# Debian packages are made from this tree by debian/rules (scripts/package).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The tool needs a search path only where the libraries are not in a directory
# the dynamic loader searches anyway (a scratch or /opt prefix).
if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_C_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(telmor-vaq PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

install(TARGETS telmor_vaq_api EXPORT TelmorVaqApiTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The key libraries ride in the export set only because the main library links
# them; consumers link TelmorVaqApi::telmor_vaq_api alone. They keep their bare
# file names (a vendor build replaces one by putting its file there), so they
# stay out of the directories the dynamic loader searches for everyone.
install(TARGETS hxbVaq hxbQor EXPORT TelmorVaqApiTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${TELMOR_KEYLIB_SUBDIR})
install(TARGETS telmor-vaq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/telmor_vaq_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The tool's manual page and its messages point the operator to these.
install(FILES README.md docs/operations.md docs/keystore-format.md docs/reliability.md docs/fleet.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/telmor-vaq)

set(TELMOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TelmorVaqApi)
install(EXPORT TelmorVaqApiTargets NAMESPACE TelmorVaqApi:: DESTINATION ${TELMOR_CMAKE_DIR})
configure_package_config_file(cmake/package/TelmorVaqApiConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TelmorVaqApiConfig.cmake INSTALL_DESTINATION ${TELMOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TelmorVaqApiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TelmorVaqApiConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/TelmorVaqApiConfigVersion.cmake
        DESTINATION ${TELMOR_CMAKE_DIR})

# The .pc file locates the prefix from its own place, so the tree can move.
file(RELATIVE_PATH TELMOR_PC_TO_PREFIX
     "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/package/telmor_vaq_api.pc.in ${CMAKE_CURRENT_BINARY_DIR}/telmor_vaq_api.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/telmor_vaq_api.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
