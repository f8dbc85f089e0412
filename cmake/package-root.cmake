# Run by CPack once the archive is made. The archive records the builder's
# user and group, and unpacking it as root at / would hand /www and the
# program to that user; it also holds an entry for every directory, and tar
# gives an existing directory the mode and owner of its entry, or puts a
# directory in place of a link (a /www that points at the device's other
# pages). So it is made again from the staged files alone, every entry owned
# by root: tar still creates a directory that is missing, and leaves one
# that is there as it is. The entries stay relative (www/...), so nothing of
# / itself is touched.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  set(staged ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_COMPONENTS_ALL})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${staged} ${staged}/*)
  if(NOT files)
    message(FATAL_ERROR "no files staged for ${archive}")
  endif()
  execute_process(COMMAND tar --owner=0 --group=0 --numeric-owner -czf ${archive} -C ${staged} ${files}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not make ${archive} again from its files, with root as the owner")
  endif()
endforeach()
