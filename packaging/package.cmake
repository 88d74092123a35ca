# The Debian package: `cpack` in a build folder makes morvex_<version>_<arch>.deb
# of everything `cmake --install` lays out, under /usr. Its dependencies are
# the packages that own the shared libraries the programs link, as
# dpkg-shlibdeps finds them.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvex)
set(CPACK_PACKAGE_VENDOR "Quellor Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quellor Software <packages@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch converter of 3D model files")
# The summary above is the description's first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Morvex Mesh Converter converts 3D model files from one format to another
in batches, from a window (morvex) or from the command line (morvex-cli).
It reads and writes STL, OBJ with its materials, PLY, 3MF, 3DS and its
own 3DP documents, and reads MQO, SDF, IFC and some forty further formats
such as glTF, COLLADA, FBX and Blender files through a helper program.
Optional effects remove duplicate triangles, recalculate normals and
move, turn or scale the models on the way.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# IFC++ comes in Debian 12 as libraries without a soname and without shlibs
# information, so dpkg-shlibdeps cannot name their package: the package that
# owns the library files the IFC tool links is added instead.
# libcurl is opened at run time, when a component is downloaded, so
# dpkg-shlibdeps does not see it.
set(MORVEX_RUNTIME_PACKAGES libcurl4)
if(TARGET morvex-ifcconvert)
  set(MORVEX_IFCPP_PACKAGES)
  foreach(library ${MORVEX_IFCPP_LIBRARY} ${MORVEX_CARVE_LIBRARY})
    execute_process(COMMAND dpkg-query --search ${library} OUTPUT_VARIABLE owner ERROR_QUIET)
    if(owner MATCHES "^([^:, ]+)[^:]*: ")
      list(APPEND MORVEX_IFCPP_PACKAGES ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES MORVEX_IFCPP_PACKAGES)
  list(APPEND MORVEX_RUNTIME_PACKAGES ${MORVEX_IFCPP_PACKAGES})
endif()
list(JOIN MORVEX_RUNTIME_PACKAGES ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Compressed manual pages and the change log, which Debian's policy asks of
# a package but not of an install into a prefix.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/finish_deb.cmake)
set(CPACK_MORVEX_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
include(CPack)
