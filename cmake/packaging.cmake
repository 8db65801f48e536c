# Install layout and Debian packages.
#
#   lib/qrn/plugins/libquorlin.so   the driver module (QRN_PLUGIN_DIR)
#   bin/qrn-host, bin/quorlin       runner and developer tool, if built
#   lib/qrn/libqrnhost.so           host stand-in, private to qrn-host
#
# under the install prefix; packages install under /usr. The plug-in folder is
# the same on every architecture (no multiarch triplet), so a host's
# configuration names one path whatever unit it runs on.
include(GNUInstallDirs)

set(QRN_PLUGIN_DIR "lib/qrn/plugins" CACHE STRING
  "Where the driver module is installed; relative paths are under the install prefix")
set(QRN_PRIVATE_LIB_DIR "lib/qrn")

install(TARGETS quorlin_module
  LIBRARY DESTINATION ${QRN_PLUGIN_DIR} COMPONENT plugin)

if(TARGET qrn-host)
  install(TARGETS qrn-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The host stand-in is qrn-host's own library, not one for other programs:
  # it goes to a private folder that qrn-host's run path names.
  install(TARGETS qrnhost LIBRARY DESTINATION ${QRN_PRIVATE_LIB_DIR} COMPONENT tools)
  file(RELATIVE_PATH _qrn_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${QRN_PRIVATE_LIB_DIR}")
  set_target_properties(qrn-host PROPERTIES INSTALL_RPATH "\$ORIGIN/${_qrn_bin_to_lib}")
endif()
if(TARGET quorlin)
  install(TARGETS quorlin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# Debian package architecture of the target, not of the build machine: taken
# from the compiler's multiarch triplet (armhf for arm-linux-gnueabihf).
find_program(QRN_DPKG_ARCHITECTURE dpkg-architecture)
mark_as_advanced(QRN_DPKG_ARCHITECTURE)
if(QRN_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(
    COMMAND ${QRN_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE QRN_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT QRN_DEB_ARCH)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(QRN_DEB_ARCH armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(QRN_DEB_ARCH arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(QRN_DEB_ARCH amd64)
  else()
    set(QRN_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

set(CPACK_PACKAGE_NAME quorlin)
set(CPACK_PACKAGE_VENDOR "Quorlin developers")
set(CPACK_PACKAGE_CONTACT "Quorlin developers <quorlin@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin)
if(TARGET qrn-host OR TARGET quorlin)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QRN_DEB_ARCH})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME quorlin-plugin)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "Cooling-plant OPC UA driver plug-in for the monitoring host
Device driver module (libquorlin.so) that reads the plant controller's OPC UA
variables each sampling round and hands the host one fixed-layout record.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quorlin-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Runner and developer tools for the cooling-plant driver plug-in
qrn-host runs the driver module on a stand-in host with SQLite history;
quorlin lists the point table, decodes records and simulates a plant.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS quorlin-plugin)

# Depends from the binaries' NEEDED entries (dpkg-shlibdeps also finds the
# armhf libraries of a multiarch install). Without it, the module's needs are
# stated by hand; the tools package then only names what it always needs.
find_program(QRN_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(QRN_DPKG_SHLIBDEPS)
if(QRN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # qrn-host's libqrnhost.so comes with it; dpkg-shlibdeps finds it in the
  # build tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}")
else()
  set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS
    "libopen62541-1.4 (>= 1.4), libstdc++6, libgcc-s1, libc6")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libopen62541-1.4 (>= 1.4), libjsoncpp25, libsqlite3-0, libstdc++6, libgcc-s1, libc6")
endif()

include(CPack)
