# Run by CPack once the archive is made. The archive records the builder's
# user and group, and unpacking it as root at / would hand /www and the
# program to that user; it is made again from the same staged files, every
# entry owned by root. The entries stay relative (www/...), so nothing of /
# itself is touched.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  set(staged ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_COMPONENTS_ALL})
  file(GLOB top RELATIVE ${staged} ${staged}/*)
  execute_process(COMMAND tar --owner=0 --group=0 --numeric-owner --sort=name -czf ${archive} -C ${staged} ${top}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not make ${archive} again with root as the owner")
  endif()
endforeach()
