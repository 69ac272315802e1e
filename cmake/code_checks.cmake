# The code's own checks, run by the test command with the other tests: every
# C++ file formatted by .clang-format, and no finding of the analyser
# (.clang-tidy) in the product code, natively and on both Windows targets.
# The analyser reads this build's compile database.
find_program(CLANG_FORMAT_PROGRAM clang-format)
find_program(CLANG_TIDY_PROGRAM clang-tidy)
if(CLANG_FORMAT_PROGRAM)
  add_test(NAME format COMMAND ${PROJECT_SOURCE_DIR}/scripts/check_format.sh)
endif()
if(CLANG_TIDY_PROGRAM)
  add_test(NAME static_analysis COMMAND ${PROJECT_SOURCE_DIR}/scripts/static_analysis.sh ${PROJECT_BINARY_DIR})
endif()
