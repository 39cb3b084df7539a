# Debian package of the ear: `cd build && cpack -G DEB` gives brelo-ble_<version>_<arch>.deb
# with the program, its systemd unit, the options file (a conffile, so local edits survive
# upgrades) and the README. Included from the top-level CMakeLists.txt.

set(BRELO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Debian 12 still keeps units and defaults outside /usr; these two go to fixed places
# whatever the install prefix (the unit starts /usr/bin/brelo-ble, where the package puts it).
install(FILES ${BRELO_PACKAGING_DIR}/brelo-ble.service DESTINATION /lib/systemd/system COMPONENT service)
install(FILES ${BRELO_PACKAGING_DIR}/brelo-ble.default DESTINATION /etc/default RENAME brelo-ble COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/brelo-ble COMPONENT service)

set(CPACK_PACKAGE_NAME brelo-ble)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "brelo-ble maintainers <brelo-ble@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "House Brelo Bluetooth ear")
set(CPACK_PACKAGE_DESCRIPTION
    "Listens to Bluetooth LE advertisements through BlueZ, folds them every 2 seconds into one \
record per device and posts them to the brelo home presence server. It reports its own state \
and advertises itself as a listener beacon. Runs as the systemd service brelo-ble.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# The package is built from the install rules of the whole project, at /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libsystemd0, libcurl4 (>= 7.74), libuuid1, libunistring2")
# Without bluetoothd the ear runs and reports "unsupported"; with it, it listens.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${BRELO_PACKAGING_DIR}/debian/conffiles ${BRELO_PACKAGING_DIR}/debian/postinst
    ${BRELO_PACKAGING_DIR}/debian/prerm ${BRELO_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
