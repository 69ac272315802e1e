# Read by cpack before each package is made (CPACK_PROJECT_CONFIG_FILE).
# Entry times come from SOURCE_DATE_EPOCH; when the caller gives none, the
# last commit's time stands in, so that one commit always gives the same
# packages.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CPACK_QV_SOURCE_DIR}
    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_status ERROR_QUIET)
  if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  else()
    message(WARNING "No git history in ${CPACK_QV_SOURCE_DIR} and no SOURCE_DATE_EPOCH: "
                    "the packages carry the current time and differ from build to build.")
  endif()
endif()
