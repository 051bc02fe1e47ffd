# What `cmake --install` and the Debian package put where. Included from the
# top-level CMakeLists.txt, so paths are relative to the project root.
include(GNUInstallDirs)

install(TARGETS punchprobe punchprobe-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The pages carry the project version in their header line.
foreach(page punchprobe.1 punchprobe-server.8)
  configure_file(man/${page} ${CMAKE_CURRENT_BINARY_DIR}/man/${page} @ONLY)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# The operator's guide and what it links to, beside the examples it names.
install(FILES docs/operating.md docs/threat-model.md docs/how-it-works.md docs/benchmarks.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit, and the drop-in that turns on --metrics (an example: the
# operator copies it to /etc), name the server by its installed path, which
# only the install step knows: /usr in the package, /usr/local for a plain
# `cmake --install`.
foreach(file_and_destination
        "punchprobe-server.service|lib/systemd/system"
        "punchprobe-server-metrics.conf|${CMAKE_INSTALL_DOCDIR}/examples")
  string(REPLACE "|" ";" file_and_destination "${file_and_destination}")
  list(GET file_and_destination 0 file)
  list(GET file_and_destination 1 destination)
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${file})
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/packaging/${file})
  install(CODE "
    file(READ \"${source}\" text)
    string(REPLACE \"/usr/bin/punchprobe-server\"
                   \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/punchprobe-server\" text \"\${text}\")
    file(WRITE \"${staged}\" \"\${text}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${staged}\")
  ")
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME punchprobe)
set(CPACK_PACKAGE_VENDOR punchprobe)
set(CPACK_PACKAGE_CONTACT "punchprobe developers <punchprobe@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tells whether a router can do UDP hole punching")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "punchprobe runs a short exchange of UDP datagrams with a test server and\n\
tells whether the router and Internet connection can do NAT traversal, or\n\
whether port forwarding is needed. The package also holds the test server,\n\
punchprobe-server, with a sandboxed systemd unit that is not enabled.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Depends: comes from the libraries the programs really link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
