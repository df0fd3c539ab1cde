# Install rules and the Debian package.
#
# `cmake --install build --prefix P` (or `make install PREFIX=P DESTDIR=D`)
# lays out the programs, the menu entry, the icons, the man pages and the
# systemd user unit as a Linux desktop expects them; `make deb` packs the same
# tree with CPack.

include(GNUInstallDirs)

install(TARGETS tallowick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tallowick-agent)
  install(TARGETS tallowick-agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The media object is private to the programs, which look for it in
# lib/tallowick/media beside their own bin folder (see
# core/thumbs/media_module.h), whatever the prefix. One level below
# lib/tallowick: a shared object directly in a folder of /usr/lib makes
# CPack run ldconfig from the package's scripts, which a private object
# does not need (and lintian warns of).
if(TARGET tallowick-media)
  install(TARGETS tallowick-media LIBRARY DESTINATION lib/tallowick/media
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

install(FILES data/tallowick-agent.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY data/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# Man pages are kept as roff in docs/; each is installed gzipped into its
# section's folder, as Debian's policy asks.
file(GLOB man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.[1-8])
foreach(page ${man_pages})
  get_filename_component(page_name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${page_name})
  set(gz ${PROJECT_BINARY_DIR}/man/${page_name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${page} > ${gz}
    DEPENDS ${page} VERBATIM)
  list(APPEND man_gz ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
if(man_gz)
  add_custom_target(man_pages ALL DEPENDS ${man_gz})
endif()

# The unit runs the installed program, so its path is filled in when
# installing, with the prefix given then (`--prefix`, or /usr for the
# package). User units live under lib/systemd/user whatever the library
# folder is called.
install(CODE "
  file(READ \"${PROJECT_SOURCE_DIR}/data/tallowick-agent.service.in\" unit)
  string(REPLACE \"@BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" unit \"\${unit}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/tallowick-agent.service\" \"\${unit}\")
")
install(FILES ${PROJECT_BINARY_DIR}/tallowick-agent.service DESTINATION lib/systemd/user)

install(FILES data/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(data/changelog.in ${PROJECT_BINARY_DIR}/package-doc/changelog @ONLY)
set(changelog_gz ${PROJECT_BINARY_DIR}/package-doc/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/package-doc/changelog > ${changelog_gz}
  DEPENDS ${PROJECT_BINARY_DIR}/package-doc/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallowick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tallowick developers <developers@tallowick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop clean-up agent with a phone to sort files")
# CPack puts the summary above as the synopsis and indents this body; an
# empty line becomes the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Tallowick looks inside the folders you choose for exact duplicates,
near-identical photos, old screenshots, stale installers and stale large
downloads and videos, and serves them as decks of cards to a paired phone
over the local network (TLS 1.3 with pre-shared keys, DNS-SD).

The phone decides keep, trash or skip; the agent journals every decision
and moves the chosen files to the Trash, refusing files that changed since
the scan, and can put committed files back. It never deletes a file.

The package holds the tray agent (tallowick-agent), its headless mode with
a systemd user unit, and the tallowick command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tray icon is SVG, drawn through Qt's SVG plugins, which the agent loads
# at run time: dpkg-shlibdeps cannot see them. Nor the libraries the programs
# open on first use (the *_functions.cc files beside src/shared/lazy_library.h):
# each is named by the package that holds it on the building machine.
set(tallowick_depends libqt6svg6)
foreach(soname libssl.so.3 libcrypto.so.3 libglib-2.0.so.0 libgio-2.0.so.0 libavahi-client.so.3
               libqrencode.so.4)
  execute_process(COMMAND dpkg-query -S "*/${soname}" OUTPUT_VARIABLE owner
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(status EQUAL 0)
    string(REGEX MATCH "^[^:]+" package "${owner}")
    list(APPEND tallowick_depends ${package})
  endif()
endforeach()
list(REMOVE_DUPLICATES tallowick_depends)
list(JOIN tallowick_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)

# What a user of `make install` gets, checked from a temporary DESTDIR.
add_test(NAME install_check COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-install ${PROJECT_BINARY_DIR})
