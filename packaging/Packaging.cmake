# What cpack makes, included by the top-level CMakeLists.txt (in its scope,
# so the tests see CPACK_SYSTEM_NAME).
#
# Windows (cd build/win32 && cpack): quorvane-VERSION-win32.zip, the
# programs, README and licence at the archive's top; and the installer
# quorvane-VERSION-win32.exe, which puts the programs in INSTDIR\bin (the
# folder its "add to PATH" choice names), a Start-menu entry for the
# program, and an uninstaller. KORVIN.INI lives in the Windows folder, not
# INSTDIR, so uninstalling leaves the remembered port alone.
#
# Linux (cd build/native && cpack -G DEB): quorvane_VERSION_ARCH.deb with
# the tools, their manual pages, completions, the udev rule and the station
# service, and quorvane-dbgsym with their debug information.
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "the Quorvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(QUORVANE_MAINTAINER "Quorvane maintainers <maintainers@users.noreply.c-seed-1239ddc3.example>")

if(WIN32)
  install(TARGETS quorvane quorvane-cli RUNTIME DESTINATION . COMPONENT program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT program)
  install(TARGETS quorvane quorvane-cli RUNTIME DESTINATION bin COMPONENT installed)
  install(FILES README.md LICENSE DESTINATION . COMPONENT installed)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_EXECUTABLE ${CMAKE_CURRENT_LIST_DIR}/makensis-amd64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_FILE_NAME quorvane-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The zip takes the "program" component, the installer "installed"
  # (packaging/CPackWindows.cmake chooses by generator).
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackWindows.cmake)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Quorvane)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quorvane)
  set(CPACK_NSIS_PACKAGE_NAME Quorvane)
  set(CPACK_NSIS_DISPLAY_NAME "Quorvane ${PROJECT_VERSION}")
  set(CPACK_NSIS_CONTACT "${QUORVANE_MAINTAINER}")
  set(CPACK_PACKAGE_EXECUTABLES quorvane Quorvane)
  set(CPACK_NSIS_MODIFY_PATH ON)
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  include(CPack)
else()
  install(FILES README.md DESTINATION share/doc/quorvane COMPONENT tools)
  add_subdirectory(packaging)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send firmware images to a target device, and play the device")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "quorvane-cli sends Motorola S-record firmware images (and Intel HEX or raw
binaries, converted) to a target device through a serial port, a parallel
port or the device's own USB serial port, with the same bytes on the wire as
the Windows program: a strict check of the file first, several devices at
once, an exit status per outcome, and a production station that writes each
board as it is plugged in and logs every job as a JSON line.
.
quorvane-sim plays the device on a pseudo-terminal, for tests and
demonstrations without the hardware.
.
The package also holds a udev rule that gives the dialout group the device's
USB port and keeps ModemManager away from it, and the quorvane-station@
systemd service.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVANE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # The dependencies are those of the binaries, as dpkg-shlibdeps finds them,
  # and the MQTT client library, which station --mqtt opens only when asked.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmosquitto1")
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_COMPONENTS_ALL tools)
  set(CPACK_DEB_COMPONENT_INSTALL OFF)
  include(CPack)
endif()
