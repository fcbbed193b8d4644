# Install layout and the Debian package.
#
# Linux layout under the install prefix (/usr in the package):
#   lib/quorvix-mixer/QuorvixDriver            the program
#   lib/quorvix-mixer/QuorvixDriver_*.qm       its translations, beside it
#   bin/quorvix-mixer                          relative symlink to the program
#   bin/quorvix-ctl                            the command that drives the running program
#   bin/quorvix-devsim, bin/quorvix-asiopeer   the simulator and the ASIO peer
#   share/applications/quorvix-mixer.desktop   menu entry
#   share/icons/hicolor/512x512/apps/quorvix-mixer.png
# and /etc/xdg/autostart/quorvix-mixer.desktop for the login start.
#
# The program looks for its translations in the folder of its real file, and Qt
# resolves /proc/self/exe, so starting it through the symlink still finds them.

include(GNUInstallDirs)

set(QUORVIX_TOOL_TARGETS)
foreach(tool IN ITEMS quorvix-devsim quorvix-asiopeer)
  if(TARGET ${tool})
    list(APPEND QUORVIX_TOOL_TARGETS ${tool})
  endif()
endforeach()

if(WIN32)
  # windeployqt then adds the Qt runtime beside the program (docs/windows.md).
  install(TARGETS QuorvixDriver quorvix-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QUORVIX_QM_FILES} DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()

set(QUORVIX_APP_DIR lib/quorvix-mixer)
set(QUORVIX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS QuorvixDriver RUNTIME DESTINATION ${QUORVIX_APP_DIR})
install(FILES ${QUORVIX_QM_FILES} DESTINATION ${QUORVIX_APP_DIR})
install(TARGETS quorvix-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(QUORVIX_TOOL_TARGETS)
  install(TARGETS ${QUORVIX_TOOL_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The launcher is a relative link so that the tree works under any prefix or DESTDIR.
file(RELATIVE_PATH quorvix_launcher_target /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${QUORVIX_APP_DIR}/QuorvixDriver)
set(quorvix_launcher ${CMAKE_CURRENT_BINARY_DIR}/packaging/quorvix-mixer)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(CREATE_LINK ${quorvix_launcher_target} ${quorvix_launcher} SYMBOLIC)
install(FILES ${quorvix_launcher} DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${QUORVIX_PACKAGING_DIR}/quorvix-mixer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icon/icon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/512x512/apps
        RENAME quorvix-mixer.png)
# XDG reads autostart entries from /etc/xdg (and the user's config), never from
# under the prefix; an install into a private prefix without root can point this
# elsewhere. The package declares no conffiles, since dpkg keeps those after
# "remove" until "purge", and the entry must leave with the program.
set(QUORVIX_AUTOSTART_DIR /etc/xdg/autostart CACHE PATH "Folder of the login autostart entry")
install(FILES ${QUORVIX_PACKAGING_DIR}/autostart/quorvix-mixer.desktop
        DESTINATION ${QUORVIX_AUTOSTART_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvix-mixer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvix Mixer developers <mixer@quorvix.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control panel of the Quorvix USB audio interfaces")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION
    "Tray application for the TK1, TK2 and ZR interfaces: microphone gain, phantom\n\
power, pad, instrument input, direct monitoring, headphone and speaker volume,\n\
input meters and the driver's streaming settings. Also ships the device\n\
simulator and the ASIO peer that let the program run without an interface.")
# dpkg-shlibdeps finds the libraries; the Qt packages are named as well because the
# platform plugins are loaded at run time and never show up as linked libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6gui6, libqt6core6, qt6-qpa-plugins")

include(CPack)
