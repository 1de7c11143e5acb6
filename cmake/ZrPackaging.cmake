# The Debian packages (cpack -G DEB in the build folder), split as Debian
# ships a library: the install's three parts become
#   libzoririve0     the libraries, in the multiarch folder
#   libzoririve-dev  headers, CMake package, pkg-config file, development links
#   zoririve-tools   zrmap, zrdesign, zrreg, zrevent, zrsend
# each with its copyright file and changelog under /usr/share/doc/<package>.

set(ZR_PACKAGE_runtime libzoririve${PROJECT_VERSION_MAJOR})
set(ZR_PACKAGE_development libzoririve-dev)
set(ZR_PACKAGE_tools zoririve-tools)

# Under /usr the loader finds the libraries in the multiarch folder by itself,
# and Debian allows no RUNPATH there. Anywhere else the installed files keep
# theirs (relative to themselves), so a prefix works wherever it is put.
# (CMAKE_INSTALL_RPATH, the programs', is set before the targets are made.)
set_target_properties(VEDevE2006 PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(zoririve PROPERTIES INSTALL_RPATH "")
function(zr_no_runpath_under_usr component)  # <component> <installed file>...
  set(files "")
  foreach(file ${ARGN})
    string(APPEND files " \"${file}\"")
  endforeach()
  install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?\$\")
      foreach(file ${files})
        file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/\${file}\")
      endforeach()
    endif()" COMPONENT ${component})
endfunction()
zr_no_runpath_under_usr(runtime
  "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:VEDevE2006>")
zr_no_runpath_under_usr(tools
  bin/$<TARGET_FILE_NAME:zrmap> bin/$<TARGET_FILE_NAME:zrdesign>
  bin/$<TARGET_FILE_NAME:zrreg> bin/$<TARGET_FILE_NAME:zrevent>
  bin/$<TARGET_FILE_NAME:zrsend>)

# The copyright file in Debian's machine-readable form, around LICENSE.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" zr_license)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" zr_license "${zr_license}")
string(REGEX REPLACE "\n$" "" zr_license "${zr_license}")
string(REPLACE "\n\n" "\n.\n" zr_license "${zr_license}")
string(REPLACE "\n" "\n " zr_license "${zr_license}")
file(WRITE "${PROJECT_BINARY_DIR}/debian/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zoririve

Files: *
Copyright: 2026 the ZORirive developers
License: Expat
 ${zr_license}
")
# The changelog, compressed as Debian wants it (no name, no time stamp).
configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
  "${PROJECT_BINARY_DIR}/debian/changelog" COPYONLY)
execute_process(COMMAND gzip -9nf "${PROJECT_BINARY_DIR}/debian/changelog"
  COMMAND_ERROR_IS_FATAL ANY)
foreach(component runtime development tools)
  install(FILES "${PROJECT_BINARY_DIR}/debian/copyright" "${PROJECT_BINARY_DIR}/debian/changelog.gz"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZR_PACKAGE_${component}}
    COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME "zoririve")
set(CPACK_PACKAGE_VENDOR "ZORirive")
set(CPACK_PACKAGE_CONTACT "ZORirive developers <zoririve@example.org>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
# Installed as into /usr (DESTDIR into the staging folder), so that what is
# written at install time (the pkg-config file, the RUNPATHs) sees /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/zoririve")

set(zr_exact "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZR_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
# Declared by name rather than found by dpkg-shlibdeps, so the packages build
# the same without dpkg-dev; the lists are what the files link (scripts/test
# compares them with the libraries each file needs).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libsqlite3-0, libsystemd0, libjpeg62-turbo, libx11-6, libxrandr2, libcurl4, zlib1g, libdw1, libelf1")
# The shlibs file: a program linked against these libraries depends on this
# package, at this version or later within the SONAME (only this package holds
# shared libraries). The loader's cache learns of them through dpkg's trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/debian/triggers")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"components that watch a C++ application - run-time libraries
The exception log with map-file sources and mailed reports, the application
event hub, the dataset log, folder, registry and shell watchers, the event log
and input checks (libVEDevE2006), over a small component framework and
platform layer (libzoririve).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${ZR_PACKAGE_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
# zr_add_map_file (the CMake package) runs zrmap after each link.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${ZR_PACKAGE_runtime} ${zr_exact}, ${ZR_PACKAGE_tools} ${zr_exact}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "g++, cmake, pkg-config")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"components that watch a C++ application - development files
Headers (under /usr/include/zoririve), the CMake package zoririve with
zr_application, and the pkg-config file zoririve, to build applications
with the components.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ZR_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "${ZR_PACKAGE_runtime} ${zr_exact}, libc6, libstdc++6, libgcc-s1, libdw1, libelf1, libpng16-16")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"components that watch a C++ application - tools
zrmap writes map files that let exception reports name unit, procedure and
line; zrdesign places components on form files; zrreg and zrevent change and
read the registry and event log stores; zrsend lists, sends and drops the
reports waiting for a crash collector.")

# Debug information stays out of the packages (it is most of their size).
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
include(CPack)
