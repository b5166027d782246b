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
set(CPACK_COMPONENT_SERVICE_DESCRIPTION [[
ZUNO telephone number lookup service
An HTTP service that answers where a Chinese telephone number is
registered. It listens on ${ZUNO_SERVICE_HOST} and runs under systemd as an
unprivileged dynamic user.]])
# postinst creates the service's downloads folder, so it is written with that folder's path.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/postinst.in
  ${CMAKE_BINARY_DIR}/debian/zuno-lookupd/postinst @ONLY)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/zuno-lookupd/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/zuno-lookupd/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Read by cpack itself: each package's summary is the first line of its own description.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)

include(CPack)
