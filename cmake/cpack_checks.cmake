# Read by cpack before it builds a package. Without dpkg-shlibdeps CPack would
# quietly leave the shared-library dependencies out of the Debian package.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUILLET_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUILLET_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing (Debian package dpkg-dev): "
                        "without it the package would not depend on its libraries")
  endif()
endif()
