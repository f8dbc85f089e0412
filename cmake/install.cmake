# What `cmake --install` puts where, and the device package.
#
# Two components: "development" is the request layer for other programs
# (libcgi.a, cgi.h, a pkg-config file and a CMake package that gives
# cgi::cgi), "device" is what the device's web server serves (sethc.cgi in
# the CGI directory, the operator page in the document root). The package
# made by the `package` target holds the device component alone, laid out
# as the device's file system, to be unpacked at / of a firmware tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Where BusyBox httpd serves from on such firmware (httpd -h /www): the
# operator page asks for /cgi-bin/sethc.cgi.
set(SETHC_INSTALL_CGIDIR "www/cgi-bin" CACHE STRING "Directory of sethc.cgi, relative to the prefix")
set(SETHC_INSTALL_DOCROOT "www" CACHE STRING "Document root of the operator page, relative to the prefix")

install(TARGETS sethc RUNTIME DESTINATION ${SETHC_INSTALL_CGIDIR} COMPONENT device)
install(FILES web/index.html DESTINATION ${SETHC_INSTALL_DOCROOT} COMPONENT device)

# The archive holds main.o as well: a program that defines only cgiMain
# pulls it in. The internal headers stay behind.
set(cgi_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/cgi)
install(TARGETS cgi EXPORT cgiTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/cgi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT cgiTargets NAMESPACE cgi:: DESTINATION ${cgi_cmakedir} COMPONENT development)
configure_package_config_file(cmake/cgiConfig.cmake.in ${PROJECT_BINARY_DIR}/cgiConfig.cmake
  INSTALL_DESTINATION ${cgi_cmakedir})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cgiConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
# The .pc file finds the prefix from where it lies, so a prefix given at
# install time (cmake --install --prefix) holds too.
file(RELATIVE_PATH cgi_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" cgi_pc_to_prefix "${cgi_pc_to_prefix}")
configure_file(cmake/cgi.pc.in ${PROJECT_BINARY_DIR}/cgi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cgiConfig.cmake ${PROJECT_BINARY_DIR}/cgiConfigVersion.cmake
  DESTINATION ${cgi_cmakedir} COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/cgi.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The device package (`package` target): the device component alone, its
# paths those of the device with no directory above them, so that it unpacks
# at / of a firmware tree; the program stripped, since flash is small.
# cmake/package-root.cmake then keeps only the files in it, owned by root.
set(CPACK_PACKAGE_NAME sethc)
set(CPACK_PACKAGE_FILE_NAME sethc-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL device)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-root.cmake)
include(CPack)
