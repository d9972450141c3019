# Run by CPack on the staged files of the Debian package, before it packs them, to give them the layout Debian
# asks of a package: the licence as the copyright file, the manual page and the changelog compressed without a
# time stamp, and the executable stripped of what only a debugger or a linker reads.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${stage}/share/doc/${CPACK_PACKAGE_NAME}")

file(RENAME "${doc}/LICENSE" "${doc}/copyright")

# The first entry of a package's changelog names its version; this one is made from the version being packed, so
# the project version stays the only place it is written. The date follows SOURCE_DATE_EPOCH when that is set.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")

foreach(file "${stage}/share/man/man1/${CPACK_PACKAGE_NAME}.1" "${doc}/changelog")
  execute_process(COMMAND gzip -9 -n -f "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()

execute_process(COMMAND "${CPACK_TREEINV_STRIP}" --remove-section=.comment --remove-section=.note --strip-unneeded
                        "${stage}/bin/${CPACK_PACKAGE_NAME}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CPACK_TREEINV_STRIP} ${stage}/bin/${CPACK_PACKAGE_NAME} failed")
endif()
