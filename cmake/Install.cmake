# SPDX-License-Identifier: Apache-2.0
# Installation: the three libraries side by side (the main library finds the
# key libraries through RUNPATH $ORIGIN), the public header, the tool and its
# manual page, a pkg-config file and a CMake package with an imported target.
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
# them; consumers link TelmorVaqApi::telmor_vaq_api alone.
install(TARGETS hxbVaq hxbQor EXPORT TelmorVaqApiTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS telmor-vaq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/telmor_vaq_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
