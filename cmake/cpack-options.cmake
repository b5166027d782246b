# SPDX-License-Identifier: Apache-2.0
# Without a project-wide summary, CPack's DEB generator takes each component's description as it
# is, first line as the summary, instead of putting the project's description above it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
