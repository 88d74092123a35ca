# Run by cpack on the staged tree of the .deb before it is packed: Debian
# wants manual pages and the change log compressed (without a time stamp, so
# that a rebuild gives the same bytes), which an install into a prefix does
# not need.
set(doc_root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share)
file(GLOB pages ${doc_root}/man/man*/*.[1-9])
file(COPY_FILE ${CPACK_MORVEX_CHANGELOG} ${doc_root}/doc/morvex/changelog)
foreach(file ${pages} ${doc_root}/doc/morvex/changelog)
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
