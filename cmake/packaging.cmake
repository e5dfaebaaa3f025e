# SPDX-License-Identifier: GPL-3.0-or-later
# Installation (GNUInstallDirs) and the Debian packages built from it by CPack:
#   korvane      both programs, the desktop entry, icons, AppStream metadata, manual pages and
#                the bash completion
#   korvane-cli  korvane-scan alone, without Qt, for servers and workstations without a desktop
# scripts/package-deb.sh builds them from a release build.
include(GNUInstallDirs)

set(korvane_dist ${PROJECT_SOURCE_DIR}/dist)
set(korvane_gui_component gui)
if(NOT TARGET korvane)
  set(korvane_gui_component "")
endif()

# What both packages hold: korvane-scan, its manual page and completion, the licence.
foreach(component cli ${korvane_gui_component})
  install(TARGETS korvane-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  if(TARGET korvane-video)
    # Video export and pictures, loaded when first needed from beside bin/ (see video/module.h).
    install(TARGETS korvane-video LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/korvane
            COMPONENT ${component})
  endif()
endforeach()

if(NOT WIN32)
  # Manual pages carry the project's version and are compressed as Debian's policy asks.
  find_program(KORVANE_GZIP gzip REQUIRED)
  set(korvane_man_pages korvane-scan.1)
  if(korvane_gui_component)
    list(APPEND korvane_man_pages korvane.1)
  endif()
  set(korvane_man_outputs "")
  foreach(page ${korvane_man_pages})
    configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${KORVANE_GZIP} -9nf -k ${CMAKE_BINARY_DIR}/man/${page}
      DEPENDS ${CMAKE_BINARY_DIR}/man/${page} ${PROJECT_SOURCE_DIR}/man/${page})
    list(APPEND korvane_man_outputs ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_target(korvane-man ALL DEPENDS ${korvane_man_outputs})

  foreach(component cli ${korvane_gui_component})
    install(FILES ${CMAKE_BINARY_DIR}/man/korvane-scan.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    install(FILES ${korvane_dist}/korvane-scan.bash-completion
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      RENAME korvane-scan COMPONENT ${component})
  endforeach()

  # Each package's copyright and changelog, where Debian keeps them.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
  execute_process(COMMAND ${KORVANE_GZIP} -9n -c ${korvane_dist}/changelog
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/dist/changelog.gz)
  set(korvane_package_cli korvane-cli)
  set(korvane_package_gui korvane)
  foreach(component cli ${korvane_gui_component})
    install(FILES ${korvane_dist}/copyright ${CMAKE_BINARY_DIR}/dist/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${korvane_package_${component}}
      COMPONENT ${component})
  endforeach()
endif()

if(korvane_gui_component)
  install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  if(NOT WIN32)
    install(FILES ${CMAKE_BINARY_DIR}/man/korvane.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
    install(FILES ${korvane_dist}/korvane.desktop
      DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
    install(FILES ${korvane_dist}/org.korvane.Korvane.metainfo.xml
      DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT gui)
    foreach(size 16 32 48 128)
      install(FILES ${PROJECT_SOURCE_DIR}/res/icon_${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        RENAME korvane.png COMPONENT gui)
    endforeach()
  endif()
endif()

# The Debian packages.
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Korvane developers")
set(CPACK_PACKAGE_CONTACT "The Korvane developers <korvane@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://korvane.example.org")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli ${korvane_gui_component})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME korvane-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_NAME korvane)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION video)
# korvane holds korvane-scan too: it takes korvane-cli's place.
set(CPACK_DEBIAN_GUI_PACKAGE_CONFLICTS korvane-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_REPLACES korvane-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_PROVIDES korvane-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "fonts-wqy-zenhei | fonts-noto-cjk, qt6-translations-l10n")
# CPack indents the long description and marks its empty lines as Debian's format asks.
string(CONCAT korvane_long_description
  "Korvane finds the recordings of a digital video recorder (DVR) on its raw disk,\n"
  "or in an image of that disk, without ever writing to it. It reads every byte\n"
  "position for the frame header, reads each frame's time, groups the frames into\n"
  "recordings and lists them with their start and end times and positions.\n"
  "Recordings are saved as the recorder wrote them, never overwriting a file, each\n"
  "with its SHA-256 in a recordings.csv beside it; a folder on the disk being read\n"
  "is refused.\n\n")
string(CONCAT CPACK_COMPONENT_CLI_DESCRIPTION
  "find surveillance recordings on a DVR disk (command line)\n" "${korvane_long_description}"
  "This package holds the command line, korvane-scan, without Qt.")
string(CONCAT CPACK_COMPONENT_GUI_DESCRIPTION
  "find surveillance recordings on a DVR disk\n" "${korvane_long_description}"
  "This package holds the window, korvane, and the command line, korvane-scan.")
include(CPack)
