# Packages, made with CPack by scripts/package: a .deb on Linux, a zip of the
# programs and an installer (wixl) on Windows. All are reproducible: time stamps come from
# SOURCE_DATE_EPOCH, which scripts/package sets to the commit's time.
set(CPACK_PACKAGE_NAME actionkeystate)
set(CPACK_PACKAGE_VENDOR "The Action Keystate authors")
set(CPACK_PACKAGE_VERSION ${AKS_VERSION_TEXT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs the keyboard's lock-key lights as a chase")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME actionkeystate-${AKS_VERSION_TEXT}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The installer, beside the zip: the target msi, which scripts/package builds.
  aks_msi(msi ${AKS_VERSION_TEXT} ${CMAKE_BINARY_DIR}/actionkeystate-${AKS_VERSION_TEXT}-windows-x64.msi)
else()
  set(CPACK_GENERATOR DEB)
  # scripts/package configures with CMAKE_INSTALL_PREFIX=/usr, which the unit names.
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Action Keystate authors <authors@actionkeystate.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Loaded by the uinput backend when it runs, so dpkg-shlibdeps cannot see them.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libwayland-client0, libxkbcommon0, libxkbcommon-x11-0, libxcb-xkb1")
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "actionkeystate switches Num Lock, Caps Lock and Scroll Lock off, then flips
them one after another every 100 ms: the three lights run as a six-step wave.
It works on X11, under Wayland through a uinput virtual keyboard, and on the
Linux console. keystate reads or sets the three locks from scripts.

Nothing starts when the package is installed: enable the systemd user unit
(systemctl --user enable --now actionkeystate) or copy the autostart entry
from /usr/share/actionkeystate.")
  # Debian's own documentation files.
  add_custom_command(OUTPUT changelog.Debian.gz
                     COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian >
                             changelog.Debian.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian)
  add_custom_target(debian_changelog ALL DEPENDS changelog.Debian.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
