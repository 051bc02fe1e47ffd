# The Windows download, made by scripts/build-windows.sh with CPack:
# punchprobe-<version>-win64.zip, one folder with the standalone .exe and a
# README in Windows line ends. Included from the top-level CMakeLists.txt.
install(TARGETS punchprobe RUNTIME DESTINATION .)
configure_file(packaging/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME punchprobe)
set(CPACK_PACKAGE_FILE_NAME punchprobe-${PROJECT_VERSION}-win64)
include(CPack)
