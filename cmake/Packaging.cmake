# What a system installation holds besides the programs, and the Debian
# package made of it (scripts/package runs CPack on a release build).

# Manual pages go in compressed, as Debian's tools expect them.
set(ORVIK_MAN_PAGES)
foreach(page orvik.1 orvik-camsim.1)
  set(gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/${page}
            ${PROJECT_BINARY_DIR}/man/${page}
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
    VERBATIM)
  list(APPEND ORVIK_MAN_PAGES ${gz})
endforeach()
add_custom_target(manpages ALL DEPENDS ${ORVIK_MAN_PAGES})
install(FILES ${ORVIK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES README.md docs/camsim.md docs/protocol.md docs/reliability.md
              docs/performance.md packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES completion/orvik
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Canon PowerShot S10/S20/S100 serial camera software")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Interactive shell for Canon PowerShot S10, S20 and S100 cameras (and A50\n"
    "and Pro70 in compatibility mode) on an RS-232 line: lists the card,\n"
    "downloads photos and thumbnails, shows thumbnails in the terminal,\n"
    "deletes, protects and uploads files.  Also holds orvik-camsim, an\n"
    "emulator of the camera on a pseudo-terminal for trying orvik without one.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "orvik developers <orvik@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends comes from the libraries the programs really link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion file does nothing without bash-completion loading it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
