# SPDX-License-Identifier: Apache-2.0
# Debian packages made with `cpack -G DEB`: zuno-lookup holds the window and its desktop
# integration (install component "desktop"), zuno-lookupd the service and its systemd unit
# (component "service"). Each program installs itself into its component.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zuno-lookup)
set(CPACK_PACKAGE_VENDOR ZUNO)
# The program's own version, as its window and its Windows version record give it.
set(CPACK_PACKAGE_VERSION ${ZUNO_VERSION})
set(CPACK_PACKAGE_CONTACT "ZUNO Lookup developers <lookup@zuno.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# `make package` leaves the .deb files here, and `make run` offers this folder as the downloads.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
if(ZUNO_BUILD_GUI)
  set(CPACK_COMPONENTS_ALL desktop service)
else()
  set(CPACK_COMPONENTS_ALL service)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME zuno-lookup)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION utils)
# Any one font that shows Simplified Chinese; the libraries come from shlibdeps.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
# The window asks the service at ZUNO_SERVICE_HOST, by default on this machine;
# qt6-wayland lets the window run natively on a Wayland desktop instead of through XWayland.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "zuno-lookupd, qt6-wayland")
# Qt brings its own IBus input context; Fcitx 5 users type Chinese through its Qt 6 frontend.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SUGGESTS fcitx5-frontend-qt6)
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION [[
ZUNO telephone number home-location lookup
A one-window utility (in Simplified Chinese) that tells where a Chinese
fixed-line or mobile number is registered, as answered by the ZUNO
lookup service.]])

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME zuno-lookupd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# A quoted string: CPack would read a variable left in a bracket string as its own, and empty.
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "ZUNO telephone number lookup service
An HTTP service that answers where a Chinese telephone number is
registered, and the product's web site. It listens on ${ZUNO_LISTEN_STREAM}
and runs under systemd as an unprivileged dynamic user.")
# postinst creates the service's downloads folder, so it is written with that folder's path.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/postinst.in
  ${CMAKE_BINARY_DIR}/debian/zuno-lookupd/postinst @ONLY)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/zuno-lookupd/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What Debian asks of every package: the machine-readable copyright file and the changelog
# (gzip -9n, so that the package's bytes depend on the text alone), in the package's doc folder.
# Its newest entry is the version being packaged; the packaging test checks that they agree.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(zuno_changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
execute_process(COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  OUTPUT_FILE ${zuno_changelog}.new RESULT_VARIABLE zuno_gzip_status)
if(NOT zuno_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip debian/changelog: ${zuno_gzip_status}")
endif()
file(COPY_FILE ${zuno_changelog}.new ${zuno_changelog} ONLY_IF_DIFFERENT)
file(REMOVE ${zuno_changelog}.new)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${zuno_changelog}
    DESTINATION ${doc} COMPONENT ${component})
endforeach()

# Read by cpack itself: each package's summary is the first line of its own description.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)

include(CPack)
