# The Windows installer Corvane-<version>-x64.msi, part of every Windows cross
# build (target `msi`) when wixl is installed. packaging/windows/make-msi.cmake
# stages the installed files and runs wixl on packaging/windows/Corvane.wxs;
# scripts/package.sh and scripts/test-msi.sh call it too, and read the
# project's settings from msi-settings.cmake.
find_program(CORVANE_WIXL wixl)
if(NOT CORVANE_WIXL)
  message(WARNING "wixl not found: no Windows installer (scripts/setup-deps.sh installs it)")
  return()
endif()

file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/msi-settings.cmake" CONTENT
[[set(CORVANE_MSI_VERSION "@PROJECT_VERSION@")
set(CORVANE_MSI_HELP_LINK "@PROJECT_HOMEPAGE_URL@")
]] @ONLY)

set(_msi "${CMAKE_BINARY_DIR}/Corvane-${PROJECT_VERSION}-x64.msi")
set(_packaging "${PROJECT_SOURCE_DIR}/packaging/windows")
add_custom_command(
  OUTPUT "${_msi}"
  COMMAND "${CMAKE_COMMAND}" -DBUILD_DIR=${CMAKE_BINARY_DIR} -DOUTPUT=${_msi}
          -P "${_packaging}/make-msi.cmake"
  # The installed programs come first by the installed-targets rule below; the
  # custom action DLL is embedded, not installed, so it is named here.
  DEPENDS CorvaneSetup
          "${_packaging}/policy/Corvane.admx" "${_packaging}/policy/en-US/Corvane.adml"
          "${_packaging}/Corvane.wxs" "${_packaging}/make-msi.cmake"
          "${CMAKE_BINARY_DIR}/msi-settings.cmake"
          "${PROJECT_SOURCE_DIR}/server/windows/corvane.ico"
          "${PROJECT_SOURCE_DIR}/README.md"
          ${CORVANE_DOC_PAGES}
          "${PROJECT_SOURCE_DIR}/clients/js/README.md"
          "${PROJECT_SOURCE_DIR}/LICENSE"
          "${PROJECT_SOURCE_DIR}/examples/demo.html"
          "${PROJECT_SOURCE_DIR}/examples/hello_plugin.cpp"
  COMMENT "Building the Windows installer Corvane-${PROJECT_VERSION}-x64.msi"
  VERBATIM)
add_custom_target(msi ALL DEPENDS "${_msi}")
# It stages every installed file: every installed target comes first.
corvane_stages_installed_files(msi OUTPUT "${_msi}")
