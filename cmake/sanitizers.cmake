# Run-time checks for the test builds. SANITIZE lists the sanitizers
# (e.g. "address,undefined"); the first report ends the process, so a test
# that trips one fails instead of scrolling past it.
set(SANITIZE "" CACHE STRING "Sanitizers to build everything with, comma-separated; empty for none")
if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${SANITIZE})
endif()
