# SPDX-License-Identifier: Apache-2.0
# `make windows`: the program, its installer and a portable zip in build-windows/packages, signed
# when ZUNO_SIGN_PKCS12 and ZUNO_SIGN_PASSWORD_FILE name a key and its password's file.
find_program(ZUNO_MAKENSIS makensis REQUIRED)
add_custom_target(windows-packages
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/windows/make-packages.sh $<TARGET_FILE:zuno-lookup>
    ${CMAKE_BINARY_DIR}/packages ${ZUNO_VERSION} ${PROJECT_SOURCE_DIR}/resources/windows/zuno-lookup.ico
  DEPENDS zuno-lookup
  COMMENT "Windows installer and portable zip in ${CMAKE_BINARY_DIR}/packages"
  VERBATIM)
