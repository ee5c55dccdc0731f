# The Debian package: `cpack -G DEB` in a configured and built tree (scripts/package.sh)
# packs exactly what `cmake --install` puts under /usr, so every install rule of the tree,
# present or future, reaches the package without a second list of files.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velkor")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "The Velkor developers <velkor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sanitized hardware diagnostic package for a macOS setup")
# The long description below the summary; CPack indents it and marks its empty lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Velkor is a one-window program for a PC that is meant to boot macOS. One
button gathers what a remote expert needs to diagnose and configure the
machine: its ACPI tables, USB controllers and ports, power and CPU data, the
configuration of a mounted Clover or OpenCore bootloader and device-registry
listings, together with a USB port-map kext generated from the live hardware.

Machine identifiers (serial numbers, UUIDs, MLB, ROM, MAC addresses) are
masked before the files are packed into SendToZantro.zip on the Desktop.

The companion velkor-registry writes the same USB and registry files from a
registry saved on a Mac.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The libraries the programs link come from dpkg-shlibdeps. What they load or start at run
# time is named here: the QML modules of the window, polkit's pkexec for the ACPI step, the
# PCI ID database the bundle's usb.ids points to, and file(1) for the reports.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, pkexec, pci.ids, file")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbutils, qt6-wayland")

include(CPack)
