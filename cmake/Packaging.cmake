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

# Debian keeps the package's history as changelog.Debian.gz beside the
# copyright file; -n leaves the time out, so a rebuild is byte for byte
# the same.
set(ORVIK_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${ORVIK_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${ORVIK_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${ORVIK_CHANGELOG})

# Debian compresses documents over 4 KB; the source tree's README is about
# building from it, so the package carries one of its own.
set(ORVIK_DOCS)
foreach(doc camsim protocol reliability performance)
  set(gz ${PROJECT_BINARY_DIR}/doc/${doc}.md.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/${doc}.md > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${doc}.md)
  list(APPEND ORVIK_DOCS ${gz})
endforeach()
add_custom_target(orvik_docs ALL DEPENDS ${ORVIK_DOCS})
install(FILES packaging/README.md packaging/copyright ${ORVIK_CHANGELOG} ${ORVIK_DOCS}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Built for users of this project rather than for Debian's archive: no
# "intent to package" bug to close.
install(FILES packaging/lintian-overrides RENAME orvik
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
# The emulator's card, for rehearsing with the installed programs alone.
install(DIRECTORY camsim/sample-card/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvik/sample-card)
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
# The builder's name and address, as Debian's own tools take them from
# DEBFULLNAME and DEBEMAIL.  The project has no mail host of its own, so
# without DEBEMAIL the field carries an address in the reserved .invalid
# domain: it says plainly that mail does not reach anyone.
if(DEFINED ENV{DEBEMAIL})
  set(ORVIK_MAINTAINER_DEFAULT "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  if(NOT DEFINED ENV{DEBFULLNAME})
    set(ORVIK_MAINTAINER_DEFAULT "orvik developers <$ENV{DEBEMAIL}>")
  endif()
else()
  set(ORVIK_MAINTAINER_DEFAULT "orvik developers <orvik@maintainer.invalid>")
endif()
set(ORVIK_MAINTAINER "${ORVIK_MAINTAINER_DEFAULT}" CACHE STRING "Maintainer field of the package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVIK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends comes from the libraries the programs really link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion file does nothing without bash-completion loading it; a
# user who is not root mounts and unmounts (--mount) through fusermount3.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, fuse3")
set(CPACK_STRIP_FILES ON)
# strip keeps the compilers' .comment notes, which Debian drops as
# unneeded; this runs on the staged tree after the stripping.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DropComment.cmake)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
