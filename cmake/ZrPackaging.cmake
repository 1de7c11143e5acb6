# The Debian package (cpack -G DEB in the build folder): the libraries, the
# headers, the CMake package, the pkg-config file and the tools, in one
# package that installs under /usr.
set(CPACK_PACKAGE_NAME "zoririve")
set(CPACK_PACKAGE_VENDOR "ZORirive")
set(CPACK_PACKAGE_CONTACT "ZORirive developers <zoririve@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Non-visual components that watch a C++ application and its surroundings")
set(CPACK_PACKAGE_DESCRIPTION
    "Exception log with map-file sources and mailed reports, application event hub, dataset\n\
log, folder/registry/shell watchers, event log, and input checks, over a small component\n\
framework. With headers, CMake package, pkg-config file and the tools zrmap, zrdesign,\n\
zrreg and zrevent.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "libdevel")
# Declared by name rather than found by dpkg-shlibdeps, so the package builds
# the same without dpkg-dev; the list is what the libraries and tools link.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libdw1, libelf1, libsqlite3-0, libsystemd0, libjpeg62-turbo, libpng16-16, libx11-6, libxrandr2")
# A user's build runs zrmap and compiles the suite's unwinding note.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++, cmake, pkg-config")
# Debug information stays out of the package (it is most of its size).
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
include(CPack)
