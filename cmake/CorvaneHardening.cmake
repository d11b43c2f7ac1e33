# The hardening Debian builds its own packages with (dpkg-buildflags): a
# stack protector, checked string and memory functions, and relocations
# resolved and made read-only at start. For every Linux target defined after
# this point. _FORTIFY_SOURCE works only in optimised builds (glibc warns
# without optimisation), and the sanitizer builds bring checks of their own.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_compile_options(-fstack-protector-strong
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
