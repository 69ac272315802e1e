# Warnings everywhere, the conversions and casts that lose or hide a value
# among them. Not -Wuseless-cast: code shared by the platforms casts to types
# (PathUnit, FileHandle) that are the same type on one platform and not on the
# other. The test command makes every warning an error
# (CMAKE_COMPILE_WARNING_AS_ERROR); a plain build does not, so that a new
# compiler's new warning never stops a release build.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wconversion
                    -Wsign-conversion -Wold-style-cast -Wduplicated-cond -Wlogical-op -Wnull-dereference
                    -Wdouble-promotion)
# On Windows the narrow texts are stored as code page 936 bytes, which is what
# the console shows after switching to that code page.
if(WIN32)
  add_compile_options(-fexec-charset=GBK)
endif()

# Reproducible programs: no build folder in file names the compiler records,
# and no link time in the PE header.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# The hardening Debian builds its packages with (dpkg-buildflags with
# hardening=+all). Left out of the sanitizer build, whose checks
# cover the same faults and which FORTIFY would only slow down or confuse.
if(NOT WIN32 AND NOT SANITIZE)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection)
  # FORTIFY needs optimisation; a Debug build would only warn.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
