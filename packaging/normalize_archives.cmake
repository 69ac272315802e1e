# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# the .tar.gz and .zip files get a fixed entry order and owner.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.(tar\\.gz|zip)$")
    execute_process(COMMAND ${CPACK_QV_NORMALIZE_COMMAND} ${package} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
