# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package of the recorder: `make package` (CPack DEB) gives
# tavrino_VERSION_ARCH.deb with Depends computed by dpkg-shlibdeps.
#
#   /usr/lib/tavrino/        the program, its plugins (loaded from beside the program when
#                            first needed: libtavrino-codecs.so, libavcodec and libavformat for
#                            the formats beyond PCM; libtavrino-player.so, Qt Multimedia for
#                            the player) and its help page (the help button opens the page
#                            beside the program); not writable by users, so the program
#                            keeps its counter and recordings in ~/.local/share/tavrino
#   /usr/bin/tavrino         a link to the program
#   /usr/share/applications/org.tavrino.Tavrino.desktop, /usr/share/metainfo/…metainfo.xml
#   /usr/share/icons/hicolor/NxN/apps/tavrino.png   drawn by the program (--write-icon)
#   /usr/share/man/man1/tavrino.1.gz                the manual page (Chinese, like the program)
#   /usr/share/doc/tavrino/  copyright (machine-readable, GPL-3.0-or-later), changelog.gz
#
# The maintainer is whoever builds the package, as Debian's tools take it: DEBFULLNAME and
# DEBEMAIL at configure time (or -DTAVRINO_MAINTAINER="Name <address>"), else the project.

set(TAVRINO_ICON_SIZES 16 22 24 32 48 64 128 256)
set(pkg ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkg})

install(TARGETS tavrino RUNTIME DESTINATION lib/tavrino)
install(TARGETS tavrino_codecs LIBRARY DESTINATION lib/tavrino)
# The player's engine (Qt Multimedia), loaded from beside the program when the player opens.
install(TARGETS tavrino_player LIBRARY DESTINATION lib/tavrino)
install(FILES ${PROJECT_SOURCE_DIR}/app/bangzhu.htm DESTINATION lib/tavrino)
file(CREATE_LINK ../lib/tavrino/tavrino ${pkg}/tavrino SYMBOLIC)
install(FILES ${pkg}/tavrino DESTINATION bin)

set(LAUNCHER tavrino)
configure_file(${PROJECT_SOURCE_DIR}/app/tavrino.desktop.in ${pkg}/${TAVRINO_APP_ID}.desktop @ONLY)
install(FILES ${pkg}/${TAVRINO_APP_ID}.desktop DESTINATION share/applications)
configure_file(${CMAKE_CURRENT_LIST_DIR}/${TAVRINO_APP_ID}.metainfo.xml ${pkg}/${TAVRINO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${pkg}/${TAVRINO_APP_ID}.metainfo.xml DESTINATION share/metainfo)

# gzip -9n: best compression, no time stamp or name in the file (as Debian policy asks).
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/app/tavrino.1 OUTPUT_FILE ${pkg}/tavrino.1.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/tavrino.1)
install(FILES ${pkg}/tavrino.1.gz DESTINATION share/man/man1)

if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(maintainer "Tavrino maintainers <maintainers@users.noreply.c-seed-856bd3b9.example>")
endif()
set(TAVRINO_MAINTAINER "${maintainer}" CACHE STRING "The package's maintainer: Name <address>")
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${pkg}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${pkg}/changelog OUTPUT_FILE ${pkg}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${pkg}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/tavrino)

# The icons, drawn by the installed program itself at each size.
install(CODE "set(TAVRINO_ICON_SIZES \"${TAVRINO_ICON_SIZES}\")")
install(CODE [[
  foreach(size IN LISTS TAVRINO_ICON_SIZES)
    set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/icons/hicolor/${size}x${size}/apps")
    file(MAKE_DIRECTORY "${dir}")
    # A sanitizer build must not fail on what Qt leaves allocated at exit.
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env ASAN_OPTIONS=detect_leaks=0
                            "$<TARGET_FILE:tavrino>" --write-icon "${dir}/tavrino.png" --icon-size ${size}
                    RESULT_VARIABLE written)
    if(NOT written EQUAL 0)
      message(FATAL_ERROR "tavrino --write-icon failed for ${size} pixels")
    endif()
    file(CHMOD "${dir}/tavrino.png" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrino)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tavrino developers")
set(CPACK_PACKAGE_CONTACT "${TAVRINO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sound recorder with a Chinese interface")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tavrino records from a capture device and input line (also what the computer
plays) into numbered WAV files, as PCM or a compressed WAV format, optionally
through live effects: amplifier, echo, phase shifter and equalizer. It shows a
live trace, spectrum and level meters, and can record from the command line
without a display.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the player's WAV decoding, Qt's
# Chinese dialog texts, a font with Chinese glyphs, Qt's platform plugin for Wayland
# sessions (without it a desktop with only a Wayland display cannot show the window).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, qt6-translations-l10n, fonts-wqy-microhei | fonts-noto-cjk, qt6-wayland")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
