# Builds the Windows installer from a Windows cross build with wixl.
#
#   cmake -DBUILD_DIR=<cross build> [-DSTAGE=<install tree>] [-DVERSION=<a.b.c.d>]
#         [-DOUTPUT=<file.msi>] [-DSETUP_DLL=<CorvaneSetup.dll>] -P packaging/windows/make-msi.cmake
#
# BUILD_DIR's msi-settings.cmake (written when it is configured) gives the
# project version and help link. Without STAGE the build is installed,
# stripped, into a fresh <output directory>/msi-stage; with STAGE that tree is
# packaged as it is (scripts/package.sh signs the programs there first).
# VERSION replaces the project version (for a test build of an upgrade).
# OUTPUT defaults to BUILD_DIR/Corvane-<version>-x64.msi. SETUP_DLL, the
# custom action DLL the package embeds, defaults to the build's.
cmake_minimum_required(VERSION 3.25)

if(NOT BUILD_DIR OR NOT EXISTS "${BUILD_DIR}/msi-settings.cmake")
  message(FATAL_ERROR "make-msi: BUILD_DIR must be a configured Windows cross build (no msi-settings.cmake in '${BUILD_DIR}')")
endif()
include("${BUILD_DIR}/msi-settings.cmake")
if(NOT VERSION)
  set(VERSION "${CORVANE_MSI_VERSION}")
endif()

# Windows Installer's limits on ProductVersion: 255.255.65535, plus a fourth
# field it keeps but never compares.
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
   OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535
   OR CMAKE_MATCH_4 GREATER 65535)
  message(FATAL_ERROR "make-msi: '${VERSION}' is no installer version (a.b.c.d, at most 255.255.65535.65535)")
endif()
math(EXPR _next_patch "${CMAKE_MATCH_3} + 1")
set(_upgrade_below "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${_next_patch}")

if(NOT OUTPUT)
  set(OUTPUT "${BUILD_DIR}/Corvane-${VERSION}-x64.msi")
endif()
get_filename_component(OUTPUT "${OUTPUT}" ABSOLUTE)
get_filename_component(_output_dir "${OUTPUT}" DIRECTORY)

if(NOT STAGE)
  set(STAGE "${_output_dir}/msi-stage")
  file(REMOVE_RECURSE "${STAGE}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGE}" --strip
    OUTPUT_QUIET
    COMMAND_ERROR_IS_FATAL ANY)
endif()
get_filename_component(STAGE "${STAGE}" ABSOLUTE)
if(NOT SETUP_DLL)
  set(SETUP_DLL "${BUILD_DIR}/packaging/windows/setup/CorvaneSetup.dll")
endif()
get_filename_component(SETUP_DLL "${SETUP_DLL}" ABSOLUTE)
if(NOT EXISTS "${SETUP_DLL}")
  message(FATAL_ERROR "make-msi: no custom action DLL ${SETUP_DLL}: build the target CorvaneSetup")
endif()

# wixl resolves sources against its working directory and refuses absolute
# ones, so it runs in the staged tree and finds the icon by a relative path.
file(RELATIVE_PATH _icon "${STAGE}" "${CMAKE_CURRENT_LIST_DIR}/../../server/windows/corvane.ico")
file(RELATIVE_PATH _setup_dll "${STAGE}" "${SETUP_DLL}")
file(REMOVE "${OUTPUT}")
execute_process(
  COMMAND wixl --arch x64
          -D "Version=${VERSION}" -D "UpgradeBelow=${_upgrade_below}"
          -D "HelpLink=${CORVANE_MSI_HELP_LINK}" -D "Icon=${_icon}" -D "SetupDll=${_setup_dll}"
          -o "${OUTPUT}" "${CMAKE_CURRENT_LIST_DIR}/Corvane.wxs"
  WORKING_DIRECTORY "${STAGE}"
  RESULT_VARIABLE _result
  ERROR_VARIABLE _errors)
# wixl reports some faults (an unreadable source) only as messages.
if(NOT _result EQUAL 0 OR NOT EXISTS "${OUTPUT}" OR _errors MATCHES "CRITICAL|WARNING|rror")
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "make-msi: wixl failed (${_result}):\n${_errors}")
endif()
message(STATUS "make-msi: ${OUTPUT}")
