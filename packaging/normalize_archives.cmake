# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# what the packages hold must not depend on the builder's file system, user,
# umask or time zone.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.(tar\\.gz|zip|deb)$")
    execute_process(COMMAND ${CPACK_QV_NORMALIZE_COMMAND} ${package} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
