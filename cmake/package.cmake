# Installed files and the Debian package: both programs, their man pages (compressed, as Debian
# wants them), and for the package the copyright and changelog; `cpack -G DEB` builds it.
include(GNUInstallDirs)
# Installing and packaging take what was built; they never start a build of everything (the
# test script's sanitizer stages build only what their tests need).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(QN_MAN_PAGES "")
foreach(page quarnzip quarnunzip)
  set(out ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1
    COMMENT "Compressing the man page of ${page}" VERBATIM)
  list(APPEND QN_MAN_PAGES ${out})
endforeach()
set(QN_CHANGELOG ${PROJECT_BINARY_DIR}/package/changelog.gz)
add_custom_command(OUTPUT ${QN_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/package/changelog ${QN_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/package/changelog VERBATIM)
add_custom_target(qn_install_files ALL DEPENDS ${QN_MAN_PAGES} ${QN_CHANGELOG})

install(TARGETS quarnzip quarnunzip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/package/copyright ${QN_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quarnel developers <quarnel@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tools for Quarnel archives (.qn)")
set(CPACK_PACKAGE_DESCRIPTION "quarnzip makes Quarnel archives, with volumes, passwords and block\nmode; quarnunzip extracts them, checking every chunk, and never writes\noutside its destination.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)     # dependencies from dpkg-shlibdeps
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)     # quarnel_1.0_amd64.deb
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
