# The Debian packages, made by CPack from the install rules of
# cmake/KelvaneInstall.cmake so that a package holds exactly what
# "cmake --install" lays out:
#   vardex             the service: the program, Web/, Docs/, Cert/ and the
#                      openssl link; no Qt
#   tessmar            the configuration tool and its help; needs the service
#                      package (its folder, the openssl link) and Qt
#   kelvane-authority  the reference certificate authority, on its own
# dpkg-shlibdeps finds the libraries each program links; only the programs
# they run (openssl) are named here.

set(kelvane_debian "${PROJECT_SOURCE_DIR}/cmake/debian")
set(kelvane_packages vardex tessmar authority)
set(kelvane_package_vardex vardex)
set(kelvane_package_tessmar tessmar)
set(kelvane_package_authority kelvane-authority)

# Each package brings its copyright and its changelog (compressed with no
# time stamp, so a rebuild gives the same file), and tells lintian where it
# leaves Debian's layout on purpose: Kelvane is one self-contained folder in
# /opt, whose programs find their configuration, certificates, pages and logs
# beside themselves.
find_program(KELVANE_GZIP gzip REQUIRED)
set(kelvane_lintian_vardex "\
# The certificate folder holds the service's private key.
vardex: non-standard-dir-perm 0700 != 0755 [opt/kelvane/Cert/]
")
foreach(component IN LISTS kelvane_packages)
  set(package "${kelvane_package_${component}}")
  set(doc "${CMAKE_BINARY_DIR}/debian-doc/${package}")
  configure_file("${kelvane_debian}/changelog.in" "${doc}/changelog" @ONLY)
  execute_process(COMMAND "${KELVANE_GZIP}" -9nf "${doc}/changelog" RESULT_VARIABLE gzipped)
  if(NOT gzipped EQUAL 0)
    message(FATAL_ERROR "Cannot compress ${doc}/changelog")
  endif()
  install(FILES "${kelvane_debian}/copyright" "${doc}/changelog.gz"
          DESTINATION "usr/share/doc/${package}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${component})
  file(WRITE "${doc}/lintian/${package}" "\
# Kelvane is one self-contained folder in /opt by design.
${package}: dir-or-file-in-opt
${kelvane_lintian_${component}}")
  install(FILES "${doc}/lintian/${package}" DESTINATION "usr/share/lintian/overrides"
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Kelvane developers <packages@kelvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${kelvane_packages})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kelvane.invalid/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_VARDEX_PACKAGE_NAME vardex)
set(CPACK_DEBIAN_VARDEX_PACKAGE_DEPENDS "openssl")
set(CPACK_DEBIAN_VARDEX_PACKAGE_CONTROL_EXTRA
    "${kelvane_debian}/vardex/postinst;${kelvane_debian}/vardex/prerm;${kelvane_debian}/vardex/postrm")
set(CPACK_COMPONENT_VARDEX_DESCRIPTION
    "reboot or shut down this server from a web browser
Vardex is a small HTTPS service: an administrator opens its login page,
signs in with a configured user and presses Reboot or Shutdown. It runs
under systemd, checks its certificates with the openssl program before it
listens, and keeps a history and an error log.
.
The package installs the service in /opt/kelvane and starts nothing:
configure it (with the tessmar package or by hand), register it with
/opt/kelvane/vardex /INSTALL, then start it with systemctl start Vardex.")

set(CPACK_DEBIAN_TESSMAR_PACKAGE_NAME tessmar)
set(CPACK_COMPONENT_TESSMAR_DEPENDS vardex)
set(CPACK_DEBIAN_TESSMAR_PACKAGE_DEPENDS "openssl, iputils-ping")
set(CPACK_DEBIAN_TESSMAR_PACKAGE_CONTROL_EXTRA "${kelvane_debian}/tessmar/postrm")
set(CPACK_COMPONENT_TESSMAR_DESCRIPTION
    "configuration tool for the Vardex reboot service
Tessmar collects the settings of the Vardex service (address, port, login
path, users, certificate subject), writes its configuration, has openssl
make a key and a certificate request, and obtains the certificate from a
certificate authority. It runs from /opt/kelvane/tessmar.")

set(CPACK_DEBIAN_AUTHORITY_PACKAGE_NAME kelvane-authority)
set(CPACK_DEBIAN_AUTHORITY_PACKAGE_DEPENDS "openssl")
set(CPACK_COMPONENT_AUTHORITY_DESCRIPTION
    "reference certificate authority for the Vardex reboot service
kelvane-authority signs the certificate requests that the Tessmar tool
posts, from an organisation's own root certificate, with the openssl
program. It signs every well-formed request it receives: run it only where
the people who can reach it may have certificates.")

include(CPack)
