# The installation folder (cmake --install, default prefix /opt/kelvane): one
# self-contained folder with the programs, the page templates, the documents,
# the certificate folder and a link to the system's openssl program, which
# both programs run from their own folder.

if(TARGET vardex)
  install(TARGETS vardex RUNTIME DESTINATION .)
endif()
if(TARGET tessmar)
  install(TARGETS tessmar RUNTIME DESTINATION .)
  install(TARGETS kelvane-authority RUNTIME DESTINATION .)
endif()

if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Web")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Web/" DESTINATION Web)
else()
  install(DIRECTORY DESTINATION Web)
endif()

if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Docs")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Docs/" DESTINATION Docs)
else()
  install(DIRECTORY DESTINATION Docs)
endif()

# The private key lives here: only its owner may look inside.
set(kelvane_cert_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE)
if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/Cert")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/Cert/" DESTINATION Cert DIRECTORY_PERMISSIONS ${kelvane_cert_permissions})
else()
  install(DIRECTORY DESTINATION Cert DIRECTORY_PERMISSIONS ${kelvane_cert_permissions})
endif()

find_program(KELVANE_OPENSSL_PROGRAM openssl REQUIRED)
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/openssl\")
  message(STATUS \"Installing: \${link} -> ${KELVANE_OPENSSL_PROGRAM}\")
  file(REMOVE \"\${link}\")
  file(CREATE_LINK \"${KELVANE_OPENSSL_PROGRAM}\" \"\${link}\" SYMBOLIC)
")
