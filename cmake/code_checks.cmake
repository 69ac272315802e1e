# The code's own checks, run by the test command with the other tests: every
# file formatted (C++ by .clang-format, Python by black) and every shell script
# clean under shellcheck, and no finding of the analyser (.clang-tidy) in the
# product code, natively and on both Windows targets. The analyser reads this
# build's compile database.
find_program(CLANG_FORMAT_PROGRAM clang-format)
find_program(BLACK_PROGRAM black)
find_program(SHELLCHECK_PROGRAM shellcheck)
find_program(CLANG_TIDY_PROGRAM clang-tidy)
if(CLANG_FORMAT_PROGRAM AND BLACK_PROGRAM AND SHELLCHECK_PROGRAM)
  add_test(NAME format COMMAND ${PROJECT_SOURCE_DIR}/scripts/check_format.sh)
endif()
if(CLANG_TIDY_PROGRAM)
  add_test(NAME static_analysis COMMAND ${PROJECT_SOURCE_DIR}/scripts/static_analysis.sh ${PROJECT_BINARY_DIR})
endif()
