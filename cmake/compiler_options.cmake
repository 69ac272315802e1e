# Warnings everywhere; on Windows the narrow texts are stored as code page 936
# bytes, which is what the console shows after switching to that code page.
add_compile_options(-Wall -Wextra -Wpedantic)
if(WIN32)
  add_compile_options(-fexec-charset=GBK)
endif()
