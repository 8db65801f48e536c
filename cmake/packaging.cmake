# Install layout and Debian packages.
#
#   lib/qrn/plugins/libquorlin.so   the driver module (QRN_PLUGIN_DIR)
#   bin/qrn-host, bin/quorlin       runner and developer tool, if built
#   lib/qrn/libqrnhost.so           host stand-in, private to qrn-host
#   lib/qrn/private/                open62541 1.4 and its Mbed TLS, the plug-in's own
#   bin/qrn-plant                   plant server with faults
#   /lib/systemd/system/qrn-host.service, /etc/qrn/qrn-host.json (conffile)
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

# open62541 1.4 is not in Debian 12: the plug-in package carries the library
# and the Mbed TLS libraries it needs in a private folder, found through the
# run path of the module and of the tools. The run path is written as
# DT_RPATH, which also serves the dependencies of those libraries (the copied
# libopen62541 has no run path of its own); the host process sees only the
# module's get_providers, as before.
set(QRN_PRIVATE_DIR "lib/qrn/private")
set(QRN_PRIVATE_SONAMES libopen62541.so.1.4 libmbedx509.so.7 libmbedcrypto.so.16 CACHE STRING
  "The open62541 library and the libraries it needs, by soname, carried by the plug-in package")
foreach(soname IN LISTS QRN_PRIVATE_SONAMES)
  string(MAKE_C_IDENTIFIER "QRN_PRIVATE_${soname}" _var)
  find_library(${_var} NAMES ${soname})
  mark_as_advanced(${_var})
  if(NOT ${_var})
    message(WARNING "${soname} not found: the plug-in package will lack it")
    continue()
  endif()
  get_filename_component(_real "${${_var}}" REALPATH)
  install(FILES "${_real}" DESTINATION ${QRN_PRIVATE_DIR} RENAME ${soname} COMPONENT plugin)
endforeach()
# In the build tree the programs and the module name the folder of the
# open62541 they were linked with: without a build run path of its own, CMake
# would pad one with empty entries, which the loader reads as the current
# directory, to leave room for the installed one.
get_filename_component(_qrn_open62541_dir "${OPEN62541_LIBRARY}" DIRECTORY)
file(RELATIVE_PATH _qrn_plugin_to_private "/${QRN_PLUGIN_DIR}" "/${QRN_PRIVATE_DIR}")
set_target_properties(quorlin_module PROPERTIES INSTALL_RPATH "\$ORIGIN/${_qrn_plugin_to_private}"
  BUILD_RPATH "${_qrn_open62541_dir}")
target_link_options(quorlin_module PRIVATE "LINKER:--disable-new-dtags")
# Debian wants manual pages and changelogs compressed (gzip -9n: no name or
# time in the header, so that the same text gives the same bytes).
set(_qrn_gz_dir "${PROJECT_BINARY_DIR}/debian-gz")
set(_qrn_gz_files)
foreach(pair "changelog:changelog.Debian.gz" "qrn-host.1:qrn-host.1.gz" "quorlin.1:quorlin.1.gz"
    "qrn-plant.1:qrn-plant.1.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 _src)
  list(GET pair 1 _dst)
  add_custom_command(OUTPUT "${_qrn_gz_dir}/${_dst}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_qrn_gz_dir}"
    COMMAND gzip -9n -c "${PROJECT_SOURCE_DIR}/cmake/debian/${_src}" > "${_qrn_gz_dir}/${_dst}"
    DEPENDS "${PROJECT_SOURCE_DIR}/cmake/debian/${_src}" VERBATIM)
  list(APPEND _qrn_gz_files "${_qrn_gz_dir}/${_dst}")
endforeach()
add_custom_target(qrn_debian_docs ALL DEPENDS ${_qrn_gz_files})

install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright "${_qrn_gz_dir}/changelog.Debian.gz"
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlin-plugin COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/quorlin-plugin.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quorlin-plugin
  COMPONENT plugin)

if(TARGET qrn-host)
  install(TARGETS qrn-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The host stand-in is qrn-host's own library, not one for other programs:
  # it goes to a private folder that qrn-host's run path names.
  install(TARGETS qrnhost LIBRARY DESTINATION ${QRN_PRIVATE_LIB_DIR} COMPONENT tools)
endif()
file(RELATIVE_PATH _qrn_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${QRN_PRIVATE_LIB_DIR}")
file(RELATIVE_PATH _qrn_bin_to_private "/${CMAKE_INSTALL_BINDIR}" "/${QRN_PRIVATE_DIR}")
if(TARGET qrn-host)
  # qrn-host links its own library and open62541 (for round reports): both
  # private folders, as DT_RPATH so that open62541 finds its Mbed TLS too.
  set_target_properties(qrn-host PROPERTIES
    INSTALL_RPATH "\$ORIGIN/${_qrn_bin_to_lib};\$ORIGIN/${_qrn_bin_to_private}"
    BUILD_RPATH "${_qrn_open62541_dir}")
  target_link_options(qrn-host PRIVATE "LINKER:--disable-new-dtags")
endif()
foreach(tool quorlin qrn-plant)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "\$ORIGIN/${_qrn_bin_to_private}"
      BUILD_RPATH "${_qrn_open62541_dir}")
    target_link_options(${tool} PRIVATE "LINKER:--disable-new-dtags")
  endif()
endforeach()
if(TARGET qrn-host)
  # The service: unit, sample configuration (a conffile), manual pages, docs.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/qrn-host.service
    DESTINATION /lib/systemd/system COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/qrn-host.json
    DESTINATION /etc/qrn COMPONENT tools)
  install(FILES "${_qrn_gz_dir}/qrn-host.1.gz" "${_qrn_gz_dir}/quorlin.1.gz" "${_qrn_gz_dir}/qrn-plant.1.gz"
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright "${_qrn_gz_dir}/changelog.Debian.gz"
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlin-tools COMPONENT tools)
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
set(CPACK_PACKAGE_CONTACT "Quorlin developers <packages@quorlin.example.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The packages' version is <project version>-<Debian revision>, taken from
# the newest entry of cmake/debian/changelog, which must name this project
# version: a packaging fix of the same code raises the revision alone.
file(STRINGS "${PROJECT_SOURCE_DIR}/cmake/debian/changelog" _qrn_changelog_top LIMIT_COUNT 1)
if(NOT _qrn_changelog_top MATCHES "^quorlin \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "cmake/debian/changelog: the first line is no 'quorlin (VERSION-REVISION)'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog names ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(_qrn_deb_version "${PROJECT_VERSION}-${CMAKE_MATCH_2}")
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
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/cmake/debian/conffiles;${PROJECT_SOURCE_DIR}/cmake/debian/postinst;${PROJECT_SOURCE_DIR}/cmake/debian/prerm;${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Depends by hand: dpkg-shlibdeps would name the build machine's open62541
# package, which the private copy replaces. Everything else is Debian 12's;
# procps brings /bin/kill, which the unit's reload runs (a minimal Debian 12
# system lacks it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "quorlin-plugin (= ${_qrn_deb_version}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libjsoncpp25, libsqlite3-0, libzstd1, zlib1g, libmosquitto1, libssl3, libprotobuf-c1, libcpp-httplib0.11, adduser, init-system-helpers (>= 1.54~), procps")

include(CPack)
