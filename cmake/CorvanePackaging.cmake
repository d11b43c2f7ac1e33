# Install layout and packages (a .deb on Linux, a .zip for Windows).
#
# Linux layout under the prefix (/usr in the .deb):
#   bin/corvane                        the service (installed by server/)
#   bin/corvane-doctor                 its diagnostics (tools/doctor/)
#   lib/systemd/user/corvane.service   the user unit, enabled for every user
#                                      by the package's postinst
#   share/doc/corvane/                 README.md, docs/*.md, the example page,
#                                      plug-in and origin policy
#                                      (examples/allowed-origins), the client's classic
#                                      script and README, Debian's
#                                      changelog.gz and copyright
#   share/man/man1/corvane.1.gz        the manual pages, and corvane-doctor.1.gz
#   lib/corvane/                       Quintrel.so and the token bridge
#                                      libKestova.so; corvane's RUNPATH
#                                      points there, so a page loads
#                                      plug-ins by bare name

# Windows: Corvane.exe, Corvane-Doctor.exe, the plug-ins, README.md, docs/,
# examples/, clients/js/ and the Group Policy template policy/ at the top of
# the ZIP.
if(WIN32)
  set(CORVANE_DOC_DIR ".")
else()
  set(CORVANE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/corvane")
endif()

if(NOT WIN32)
  # A user unit: the service belongs to the desktop session of one user, like
  # the instance guard, which is per user.
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/corvane.service"
          DESTINATION lib/systemd/user)

  # Debian wants the changelog and manual page compressed with gzip -9n (no
  # name or time in the header, so that rebuilds give the same bytes).
  set(_gzipped)
  foreach(_source IN ITEMS packaging/debian/changelog packaging/corvane.1 packaging/corvane-doctor.1)
    get_filename_component(_name "${_source}" NAME)
    set(_copy "${PROJECT_BINARY_DIR}/packaging/${_name}")
    add_custom_command(OUTPUT "${_copy}.gz"
      COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/${_source}" "${_copy}"
      COMMAND gzip -9nf "${_copy}"
      DEPENDS "${PROJECT_SOURCE_DIR}/${_source}"
      VERBATIM)
    list(APPEND _gzipped "${_copy}.gz")
  endforeach()
  add_custom_target(corvane_package_docs ALL DEPENDS ${_gzipped})
  corvane_installs_files_of(corvane_package_docs)
  install(FILES "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
                "${PROJECT_SOURCE_DIR}/packaging/debian/copyright"
          DESTINATION "${CORVANE_DOC_DIR}")
  install(FILES "${PROJECT_BINARY_DIR}/packaging/corvane.1.gz"
                "${PROJECT_BINARY_DIR}/packaging/corvane-doctor.1.gz"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

  # The changelog's newest entry names the version it describes.
  file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/debian/changelog" _entry LIMIT_COUNT 1)
  string(FIND "${_entry}" "corvane (${PROJECT_VERSION}) " _at)
  if(NOT _at EQUAL 0)
    message(FATAL_ERROR "packaging/debian/changelog starts with '${_entry}': "
                        "add an entry for version ${PROJECT_VERSION}")
  endif()
endif()

install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CORVANE_DOC_DIR}")
# The README links to these pages; an installed copy keeps the links working.
# The installer lists each file (packaging/windows/Corvane.wxs), and
# scripts/test-msi.sh fails when the two disagree.
file(GLOB CORVANE_DOC_PAGES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.md")
install(FILES ${CORVANE_DOC_PAGES} DESTINATION "${CORVANE_DOC_DIR}/docs")
# Debian states the licence in its copyright file; Windows packages carry the
# text beside the programs, named so that a double click opens it.
if(WIN32)
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CORVANE_DOC_DIR}" RENAME LICENSE.txt)
  # The Group Policy template, laid out as a PolicyDefinitions folder is.
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/windows/policy/Corvane.admx" DESTINATION policy)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/windows/policy/en-US/Corvane.adml" DESTINATION policy/en-US)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/examples/hello_plugin.cpp"
        DESTINATION "${CORVANE_DOC_DIR}/examples")
if(NOT WIN32)
  # A commented origin policy, to copy to /etc/corvane/allowed-origins.
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/allowed-origins"
          DESTINATION "${CORVANE_DOC_DIR}/examples")
endif()
# The demo page is optional in a source tree; ship it when it is there.
if(EXISTS "${PROJECT_SOURCE_DIR}/examples/demo.html")
  install(FILES "${PROJECT_SOURCE_DIR}/examples/demo.html"
          DESTINATION "${CORVANE_DOC_DIR}/examples")
  # The page loads ../clients/js/corvane.global.js.
  install(FILES "${PROJECT_SOURCE_DIR}/clients/js/corvane.global.js"
                "${PROJECT_SOURCE_DIR}/clients/js/README.md"
          DESTINATION "${CORVANE_DOC_DIR}/clients/js")
endif()

set(CPACK_PACKAGE_NAME "corvane")
set(CPACK_PACKAGE_VENDOR "Corvane developers")
set(CPACK_PACKAGE_CONTACT "Corvane developers <corvane@example.invalid>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local WebSocket service that lets web pages call native plug-ins")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Corvane listens on ws://127.0.0.1:1237. A page on the same machine sends JSON\n"
    "requests that load a plug-in library for its connection and call the\n"
    "plug-in's Invoke export; every request gets exactly one JSON answer.\n"
    "The service starts at every user's log-in; start it now with\n"
    "systemctl --user start corvane")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "Corvane-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Run-time dependencies (libc, libstdc++, libssl...) come from dpkg-shlibdeps,
  # run on every ELF file of the package (corvane, Quintrel.so, libKestova.so).
  # Nothing links against a library of /usr/lib/corvane, so it needs no
  # private search directory.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What is only opened at run time is invisible to that scan. The token
  # bridge opens its default PKCS#11 module with dlopen; without it every
  # Quintrel method answers an empty text, so the package that ships it is a
  # Depends, not a Recommends, which an install without recommends would skip.
  if(KESTOVA_BRIDGE_DEFAULT_MODULE)
    execute_process(COMMAND dpkg-query --search "${KESTOVA_BRIDGE_DEFAULT_MODULE}"
      OUTPUT_VARIABLE _owner RESULT_VARIABLE _owner_rc ERROR_QUIET)
    if(_owner_rc EQUAL 0 AND _owner MATCHES "^([^:,]+)(:[^:]*)?: ")
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
    else()
      message(WARNING "No Debian package ships ${KESTOVA_BRIDGE_DEFAULT_MODULE}, "
                      "the token bridge's default module: the .deb cannot depend on it")
    endif()
  endif()
  # The PIN prompt of Sign and Authenticate; without one they answer no-prompt.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pinentry-gnome3 | pinentry")
  # Readers for real smart cards, which register their module with p11-kit.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc, pcscd")
  # Enable the user unit for every user on install; purge removes the links.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      "${PROJECT_SOURCE_DIR}/packaging/debian/postinst"
      "${PROJECT_SOURCE_DIR}/packaging/debian/prerm"
      "${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
endif()
include(CPack)

if(WIN32)
  include(CorvaneMsi)
endif()
