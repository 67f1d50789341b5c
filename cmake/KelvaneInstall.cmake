# The installation folder (cmake --install, default prefix /opt/kelvane): one
# self-contained folder with the programs, the page templates, the documents,
# the certificate folder and a link to the system's openssl program, which
# both programs run from their own folder.
#
# The same rules make the Debian packages (cmake/KelvaneDebian.cmake): with
# KELVANE_PACKAGE_LAYOUT the prefix is the root of the file system, the folder
# is /opt/kelvane, and each package brings its copyright and changelog.
# Components: "vardex" (the service), "tessmar" (the configuration tool and
# its help) and "authority" (the reference certificate authority,
# package kelvane-authority).

option(KELVANE_PACKAGE_LAYOUT "Install below the prefix as the Debian packages do (opt/kelvane, usr/share/doc)" OFF)
if(KELVANE_PACKAGE_LAYOUT)
  set(KELVANE_FOLDER "opt/kelvane")
  set(kelvane_folder_below_prefix "/opt/kelvane")
else()
  set(KELVANE_FOLDER ".")
  set(kelvane_folder_below_prefix "")
endif()

if(TARGET vardex)
  install(TARGETS vardex RUNTIME DESTINATION "${KELVANE_FOLDER}" COMPONENT vardex)
endif()
if(TARGET tessmar)
  install(TARGETS tessmar RUNTIME DESTINATION "${KELVANE_FOLDER}" COMPONENT tessmar)
endif()
if(TARGET kelvane-authority)
  install(TARGETS kelvane-authority RUNTIME DESTINATION "${KELVANE_FOLDER}" COMPONENT authority)
endif()

if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Web")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Web/" DESTINATION "${KELVANE_FOLDER}/Web" COMPONENT vardex)
else()
  install(DIRECTORY DESTINATION "${KELVANE_FOLDER}/Web" COMPONENT vardex)
endif()

# The service owns the folder (the tool writes its readme there); the help
# file in it is the tool's.
install(DIRECTORY DESTINATION "${KELVANE_FOLDER}/Docs" COMPONENT vardex)
if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Docs")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Docs/" DESTINATION "${KELVANE_FOLDER}/Docs" COMPONENT tessmar)
endif()

# The private key lives here: only its owner may look inside.
set(kelvane_cert_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE)
if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Cert")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Cert/" DESTINATION "${KELVANE_FOLDER}/Cert"
          DIRECTORY_PERMISSIONS ${kelvane_cert_permissions} COMPONENT vardex)
else()
  install(DIRECTORY DESTINATION "${KELVANE_FOLDER}/Cert" DIRECTORY_PERMISSIONS ${kelvane_cert_permissions}
          COMPONENT vardex)
endif()

find_program(KELVANE_OPENSSL_PROGRAM openssl REQUIRED)
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}${kelvane_folder_below_prefix}/openssl\")
  message(STATUS \"Installing: \${link} -> ${KELVANE_OPENSSL_PROGRAM}\")
  file(REMOVE \"\${link}\")
  file(CREATE_LINK \"${KELVANE_OPENSSL_PROGRAM}\" \"\${link}\" SYMBOLIC)
" COMPONENT vardex)

if(KELVANE_PACKAGE_LAYOUT)
  include(cmake/KelvaneDebian.cmake)
endif()
