# One way to install a program or library of ours, so that what is installed
# is known in one place:
#
#   corvane_install(<target> DESTINATION <dir> [RUNPATH <installed runpath>])
#
# - Every installed target joins the global property CORVANE_INSTALLED_TARGETS.
#   A packaging target that stages the installed files names itself with
#   corvane_stages_installed_files(), and at the end of configuring it is made
#   to depend on every target in that list: a program installed later cannot
#   be packaged before it is linked.
# - On ELF platforms the build-tree RUNPATH names only the binary's own
#   directory. Left to itself, CMake pads the build RUNPATH with empty
#   entries to make room for the installed one, and the dynamic loader reads
#   an empty entry as the current directory: a binary started in a directory
#   another user can write would load that user's libraries. Here the room
#   is made of further $ORIGIN entries instead, and the installed copy gets
#   its RUNPATH written in place at install. A target installed without a
#   RUNPATH has none in the build tree either.

set_property(GLOBAL PROPERTY CORVANE_INSTALLED_TARGETS "")
set_property(GLOBAL PROPERTY CORVANE_PACKAGING_TARGETS "")

# Targets whose files are installed without install(TARGETS), such as
# generated documents.
function(corvane_installs_files_of target)
  set_property(GLOBAL APPEND PROPERTY CORVANE_INSTALLED_TARGETS ${target})
endfunction()

function(corvane_install target)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "DESTINATION;RUNPATH" "")
  if(NOT _arg_DESTINATION OR _arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "corvane_install(${target} DESTINATION <dir> [RUNPATH <runpath>])")
  endif()
  install(TARGETS ${target}
          RUNTIME DESTINATION "${_arg_DESTINATION}"
          LIBRARY DESTINATION "${_arg_DESTINATION}")
  corvane_installs_files_of(${target})

  if(NOT CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" OR NOT _arg_RUNPATH)
    return()
  endif()
  set(_build "$ORIGIN")
  string(LENGTH "${_arg_RUNPATH}" _wanted)
  string(LENGTH "${_build}" _length)
  while(_length LESS _wanted)
    string(APPEND _build ":$ORIGIN")
    string(LENGTH "${_build}" _length)
  endwhile()
  # The build RUNPATH is linked in as it is; CMake rewrites nothing.
  set_target_properties(${target} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "${_build}")
  if(NOT _arg_RUNPATH STREQUAL _build)
    set(_file "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_arg_DESTINATION}/$<TARGET_FILE_NAME:${target}>")
    install(CODE "file(RPATH_CHANGE FILE \"${_file}\" OLD_RPATH \"${_build}\" NEW_RPATH \"${_arg_RUNPATH}\")")
  endif()
endfunction()

function(corvane_stages_installed_files target)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "OUTPUT" "")
  set_property(GLOBAL APPEND PROPERTY CORVANE_PACKAGING_TARGETS ${target})
  if(_arg_OUTPUT)
    set_property(TARGET ${target} PROPERTY CORVANE_PACKAGE_OUTPUT "${_arg_OUTPUT}")
  endif()
endfunction()

# Runs at the end of the directory that includes this file, the project's
# top, when every directory below has been read.
function(_corvane_package_after_installed)
  get_property(_installed GLOBAL PROPERTY CORVANE_INSTALLED_TARGETS)
  get_property(_packaging GLOBAL PROPERTY CORVANE_PACKAGING_TARGETS)
  foreach(_package IN LISTS _packaging)
    if(NOT _installed)
      continue()
    endif()
    add_dependencies(${_package} ${_installed})
    # A rebuilt program makes the package again, not only an ordered build.
    get_property(_output TARGET ${_package} PROPERTY CORVANE_PACKAGE_OUTPUT)
    if(_output)
      add_custom_command(OUTPUT "${_output}" APPEND DEPENDS ${_installed})
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL _corvane_package_after_installed)
