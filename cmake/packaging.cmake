# Included by CMakeLists.txt: what is installed where, and the packages CPack makes of it.
#
# Linux gets the usual layout, which the Debian package takes as it is. The Windows zip is unpacked beside the
# patching tool, so the exe and its two texts lie at its top, the texts with CR LF line ends so that any Windows
# editor shows them as written.
if(WIN32)
  install(TARGETS treeinv RUNTIME DESTINATION .)
  foreach(text README.md LICENSE)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${text} content)
    string(REPLACE "\n" "\r\n" content "${content}")
    get_filename_component(name ${text} NAME_WE)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.txt "${content}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.txt DESTINATION .)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md LICENSE)
else()
  include(GNUInstallDirs)
  install(TARGETS treeinv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES treeinv.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(TREEINV_MAINTAINER "treeinv maintainers <maintainers@treeinv.example>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_NAME treeinv)
set(CPACK_PACKAGE_VENDOR "The treeinv developers")
set(CPACK_PACKAGE_CONTACT "${TREEINV_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inventory of a directory tree for a patching tool")
# Lines of the long description as Debian shows them: at most 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "treeinv walks everything below the directory it is started in and writes\n"
       "two lists into it: folders.txt, naming every folder, and patchlist.txt,\n"
       "naming every other file with the SHA-256 digest of its contents. The lists\n"
       "are the input of a patching tool and have one format on every platform,\n"
       "with CR LF line ends.\n"
       "\n"
       "It takes no arguments but --help and --version and prints nothing when\n"
       "all goes well; the first\n"
       "problem ends the run with one error line and exit status 1. Digests are\n"
       "computed with OpenSSL on several cores at once.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME treeinv-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What Debian asks of a package and CPack does not do itself: the licence as the copyright file, a changelog, the
  # man page compressed, and the program stripped the way Debian strips its own.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-layout.cmake)
  set(CPACK_TREEINV_STRIP ${CMAKE_STRIP})
endif()
# A source package is the checkout without its history and build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
