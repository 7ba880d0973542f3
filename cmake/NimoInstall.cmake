# Installed layout. The application package lives in <prefix>/lib/nimo: its executables in bin/,
# the provider in Contents/Library/SystemExtensions/...; the client finds the package from its own
# executable, so the commands in <prefix>/bin are links into it.
set(NIMO_INSTALL_PACKAGE lib/nimo)
set(NIMO_INSTALL_EXTENSION
    ${NIMO_INSTALL_PACKAGE}/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension/Contents)

# nimo-devservice, with its demo account and password, is for the demo and the tests only: it stays
# in the build tree and never reaches a user's machine.
install(TARGETS nimo nimo-tunneld nimo-netd RUNTIME DESTINATION ${NIMO_INSTALL_PACKAGE}/bin)
install(TARGETS nimo-provider nimo-transport RUNTIME DESTINATION ${NIMO_INSTALL_EXTENSION}/bin)
install(FILES ${NIMO_EXTENSION_DIR}/Contents/Info.json DESTINATION ${NIMO_INSTALL_EXTENSION})
install(PROGRAMS resources/install_test.sh DESTINATION ${NIMO_INSTALL_PACKAGE}/Contents/Resources)
install(DIRECTORY resources/icons DESTINATION ${NIMO_INSTALL_PACKAGE}/Contents/Resources)
foreach(command nimo nimo-tunneld)
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
    file(CREATE_LINK ../${NIMO_INSTALL_PACKAGE}/bin/${command}
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${command}\" SYMBOLIC)")
endforeach()

install(FILES resources/nimo.desktop DESTINATION share/applications)
install(FILES resources/images/nimo.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES resources/man/nimo.1 resources/man/nimo-tunneld.1 DESTINATION share/man/man1)
install(FILES docs/tunnel-protocol.md docs/architecture.md DESTINATION share/doc/nimo)
# systemd user unit of the tunnel service, with the prefix of the actual install filled in.
install(CODE "configure_file(\"${CMAKE_SOURCE_DIR}/resources/systemd/nimo-tunneld.service\"
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/nimo-tunneld.service\" @ONLY)")

# nimo-netd's system units (socket activation).
foreach(unit nimo-netd.service nimo-netd.socket)
  install(CODE "configure_file(\"${CMAKE_SOURCE_DIR}/resources/systemd/${unit}\"
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}\" @ONLY)")
endforeach()

# Debian package: cpack -G DEB in a build of the package preset.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimo)
set(CPACK_PACKAGE_VENDOR "NimoMac")
set(CPACK_PACKAGE_CONTACT "NimoMac developers <dev@nimomac.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NimoMac VPN client: tray menu, main window and tunnel service")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Links, the browser opener and the administrator prompt; the shared libraries come from shlibdeps,
# except those the client opens at run time, which shlibdeps cannot see: libcurl (opened with dlopen
# for the first request), libsecret-1-0 (for the first secret) and libqt6svg6 (its image-format
# plugin draws an image at a size nobody drew at build time).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, libcurl4 (>= 7.85.0), libqt6svg6, libsecret-1-0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, fonts-noto-cjk")
# The package enables nimo-netd's socket and, before removal, takes away every table it made.
foreach(script postinst prerm)
  configure_file(resources/debian/${script}.in ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/debian/postinst;${CMAKE_BINARY_DIR}/debian/prerm")
include(CPack)
