# Part of the hardening Debian builds its own packages with (dpkg-buildflags):
# a stack protector, and relocations resolved and made read-only at start.
# For every Linux target defined after this point. _FORTIFY_SOURCE is left
# out: it also turns ignored results of calls such as system() and write()
# into warnings, which CI treats as errors.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_compile_options(-fstack-protector-strong)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
