# Header-only dependencies come from Debian's packages. Each is exposed as an
# INTERFACE target so that consumers name what they use:
#   Corvane::websocketpp  WebSocket++ over standalone Asio
#   Corvane::rapidjson    RapidJSON
#   Corvane::pkcs11       the standard PKCS#11 header shipped by p11-kit
#
# A native build finds them through their own package files. A cross build
# must not put the build machine's /usr/include on its path (its libc headers
# would shadow the target's), so there the few header trees we need are
# linked into a private directory of the build tree instead.

find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  set(CORVANE_HOST_INCLUDE_DIR "/usr/include" CACHE PATH
      "Where the build machine's Debian packages installed their headers")
  set(_staged "${CMAKE_BINARY_DIR}/staged-include")
  file(MAKE_DIRECTORY "${_staged}")
  foreach(_entry websocketpp asio asio.hpp rapidjson p11-kit-1/p11-kit)
    set(_from "${CORVANE_HOST_INCLUDE_DIR}/${_entry}")
    get_filename_component(_name "${_entry}" NAME)
    if(NOT EXISTS "${_from}")
      message(FATAL_ERROR "Missing ${_from}: install libwebsocketpp-dev, libasio-dev, "
                          "rapidjson-dev and libp11-kit-dev (scripts/setup-deps.sh does).")
    endif()
    file(CREATE_LINK "${_from}" "${_staged}/${_name}" SYMBOLIC)
  endforeach()
  set(_wspp_inc "${_staged}")
  set(_asio_inc "${_staged}")
  set(_rapidjson_inc "${_staged}")
  set(_pkcs11_inc "${_staged}")
else()
  find_package(websocketpp CONFIG REQUIRED)
  set(_wspp_inc "${WEBSOCKETPP_INCLUDE_DIR}")
  find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
  set(_asio_inc "${ASIO_INCLUDE_DIR}")
  find_package(RapidJSON CONFIG REQUIRED)
  set(_rapidjson_inc "${RAPIDJSON_INCLUDE_DIRS}")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(P11KIT REQUIRED p11-kit-1)
  # p11-kit's include dir holds p11-kit/pkcs11.h.
  set(_pkcs11_inc "${P11KIT_INCLUDE_DIRS}")
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
endif()

add_library(corvane_asio INTERFACE)
target_include_directories(corvane_asio SYSTEM INTERFACE "${_asio_inc}")
target_compile_definitions(corvane_asio INTERFACE ASIO_STANDALONE
  # Windows 7 is the oldest target; Asio picks its Windows APIs by it.
  $<$<PLATFORM_ID:Windows>:_WIN32_WINNT=0x0601>)
target_link_libraries(corvane_asio INTERFACE Threads::Threads
  $<$<PLATFORM_ID:Windows>:ws2_32 mswsock>)
add_library(Corvane::asio ALIAS corvane_asio)

add_library(corvane_websocketpp INTERFACE)
target_include_directories(corvane_websocketpp SYSTEM INTERFACE "${_wspp_inc}")
target_compile_definitions(corvane_websocketpp INTERFACE
  _WEBSOCKETPP_CPP11_STL_ _WEBSOCKETPP_CPP11_INTERNAL_
  # WebSocket++ assumes MinGW lacks <thread>; the posix-thread MinGW has it.
  $<$<PLATFORM_ID:Windows>:_WEBSOCKETPP_CPP11_THREAD_>)
target_link_libraries(corvane_websocketpp INTERFACE corvane_asio)
add_library(Corvane::websocketpp ALIAS corvane_websocketpp)

add_library(corvane_rapidjson INTERFACE)
target_include_directories(corvane_rapidjson SYSTEM INTERFACE "${_rapidjson_inc}")
add_library(Corvane::rapidjson ALIAS corvane_rapidjson)

add_library(corvane_pkcs11 INTERFACE)
target_include_directories(corvane_pkcs11 SYSTEM INTERFACE "${_pkcs11_inc}")
add_library(Corvane::pkcs11 ALIAS corvane_pkcs11)
