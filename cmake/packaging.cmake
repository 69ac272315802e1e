# Icons, desktop entries, manual pages and licence of both tools, their
# install rules, and the packages CPack makes: DEB and TGZ on Linux, one ZIP
# per Windows architecture. Sets icon_<target> (the tool's .ico, Windows
# builds) for the resource scripts.

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_PACKAGE_NAME quistel-vorlune)
set(CPACK_PACKAGE_VENDOR "Quistel and Vorlune maintainers")
set(CPACK_PACKAGE_CONTACT "Quistel and Vorlune maintainers <maintainers@quistel-vorlune.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "disguise files by masking every byte")
set(CPACK_PACKAGE_DESCRIPTION
  "Quistel and Vorlune are two console programs that disguise a file, and lift
the disguise, by combining every byte with one fixed byte. Quistel is for PNG
pictures, Vorlune for any file, videos and texts above all. The result is
written beside the input with .xyz appended, or stripped to restore. Each run
reports in Simplified Chinese and waits for Enter.

This is a disguise, not encryption.")
set(icon_sizes 16 32 48 64 128 256)
set(packaged_targets image_tool vault_tool)
set(packaged_names quistel vorlune)

function(require_program variable program debian_package)
  # Host tools even when cross-building.
  find_program(${variable} ${program} NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${variable})
    message(FATAL_ERROR "${program} not found: install the Debian package ${debian_package} "
                        "(scripts/install_dependencies.sh installs it).")
  endif()
endfunction()

require_program(RSVG_CONVERT rsvg-convert librsvg2-bin)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(WIN32)
  require_program(ICOTOOL icotool icoutils)
endif()
require_program(GZIP gzip gzip)

# Modes must not follow the builder's umask: the packages list them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(asset_outputs)
foreach(target name IN ZIP_LISTS packaged_targets packaged_names)
  set(svg ${packaging_dir}/icons/${name}.svg)
  set(pngs)
  foreach(size IN LISTS icon_sizes)
    # Laid out as under share/icons/hicolor, so install rules mirror it.
    set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/apps/${name}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}/apps
      COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${svg}
      DEPENDS ${svg}
      COMMENT "Drawing ${name} icon at ${size}x${size}")
    list(APPEND pngs ${png})
    list(APPEND asset_outputs ${png})
    if(NOT WIN32)
      install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
    endif()
  endforeach()

  if(WIN32)
    set(ico ${PROJECT_BINARY_DIR}/icons/${name}.ico)
    # The 256 px image stays PNG-compressed, as Windows Vista and later expect.
    list(FILTER pngs EXCLUDE REGEX "/256x256/")
    add_custom_command(OUTPUT ${ico}
      COMMAND ${ICOTOOL} --create --output=${ico} ${pngs}
              --raw=${PROJECT_BINARY_DIR}/icons/256x256/apps/${name}.png
      DEPENDS ${pngs} ${PROJECT_BINARY_DIR}/icons/256x256/apps/${name}.png
      COMMENT "Making ${name}.ico")
    list(APPEND asset_outputs ${ico})
    set(icon_${target} ${ico})
  else()
    install(FILES ${svg} DESTINATION share/icons/hicolor/scalable/apps)
    install(FILES ${packaging_dir}/linux/${name}.desktop DESTINATION share/applications)

    configure_file(${packaging_dir}/linux/${name}.1 ${PROJECT_BINARY_DIR}/man/${name}.1 @ONLY)
    set(man_gz ${PROJECT_BINARY_DIR}/man/${name}.1.gz)
    # -n keeps the time stamp out, so the package is reproducible.
    add_custom_command(OUTPUT ${man_gz}
      COMMAND ${GZIP} -9nf --keep ${PROJECT_BINARY_DIR}/man/${name}.1
      DEPENDS ${PROJECT_BINARY_DIR}/man/${name}.1
      COMMENT "Compressing ${name}.1")
    list(APPEND asset_outputs ${man_gz})
    install(FILES ${man_gz} DESTINATION share/man/man1)
  endif()
endforeach()

# The licence goes into every package: as LICENSE.txt beside the programs
# (CRLF, for Notepad) on Windows, as a machine-readable copyright file and a
# compressed changelog where Debian keeps them on Linux.
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*[^\n])" license "${license}")
  set(copyright_holder ${CMAKE_MATCH_1})
  # Continuation lines start with a space; an empty line is written " .".
  string(REPLACE "\n\n" "\n.\n" license_terms "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " license_terms " ${license_terms}")
  set(doc_dir share/doc/${CPACK_PACKAGE_NAME})
  configure_file(${packaging_dir}/linux/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)
  set(changelog_gz ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${GZIP} -9n --stdout ${packaging_dir}/linux/changelog > ${changelog_gz}
    DEPENDS ${packaging_dir}/linux/changelog
    COMMENT "Compressing the changelog")
  list(APPEND asset_outputs ${changelog_gz})
  install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${changelog_gz} DESTINATION ${doc_dir})
endif()
add_custom_target(packaging_assets ALL DEPENDS ${asset_outputs})

if(WIN32)
  # One ZIP per architecture; the read-me says which one it is.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_bits 64)
  else()
    set(windows_bits 32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME Quistel-Vorlune-${PROJECT_VERSION}-win${windows_bits})
  # Notepad shows it: CRLF line ends and a UTF-8 byte order mark.
  configure_file(${packaging_dir}/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
endif()

set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps derives the libc6/libstdc++6 versions from the programs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # lintian reports no error and no warning. One informational tag stays:
  # binary-has-unneeded-section .comment, for the compiler's version string
  # that the C runtime's start files bring into every program (about 40
  # bytes). dh_strip would remove it; CPack's strip keeps it, and no
  # compiler option leaves it out.
endif()

# Reproducible packages: cpack takes entry times from SOURCE_DATE_EPOCH, which
# the project configuration sets from the last commit when the caller does
# not; the packages are then rewritten so that nothing in them depends on the
# builder's file system, user, umask or time zone.
set(CPACK_PROJECT_CONFIG_FILE ${packaging_dir}/cpack_project_config.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${packaging_dir}/normalize_archives.cmake)
set(CPACK_QV_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_QV_NORMALIZE_COMMAND ${Python3_EXECUTABLE} ${packaging_dir}/normalize_archives.py)
include(CPack)
