# Installation of the programs' manual pages and the Debian package.
#
#   cmake --install build --prefix /some/where   # bin/ and share/man/man1/
#   cpack --config build/CPackConfig.cmake -G DEB -B out   # out/zal_<version>_<arch>.deb
#
# The maintainer shown in the package can be set at configure time with
# -DZAL_PACKAGE_MAINTAINER="Name <address>".
include(GNUInstallDirs)

# Manual pages go in compressed, as Debian's policy wants them and as man(1)
# reads them; -n keeps the archives free of names and dates, so that two
# builds of the same sources give the same package.
set(ZAL_MANPAGES ZALcod ZALdecod Bppquest)
find_program(ZAL_GZIP gzip)
set(ZAL_MANPAGE_FILES)
foreach(page ${ZAL_MANPAGES})
  set(src ${PROJECT_SOURCE_DIR}/man/${page}.1)
  if(ZAL_GZIP)
    set(out ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E copy ${src} ${PROJECT_BINARY_DIR}/man/${page}.1
      COMMAND ${ZAL_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}.1
      DEPENDS ${src}
      COMMENT "Compressing manual page ${page}.1"
      VERBATIM)
  else()
    set(out ${src})
  endif()
  list(APPEND ZAL_MANPAGE_FILES ${out})
endforeach()
add_custom_target(zal_manpages ALL DEPENDS ${ZAL_MANPAGE_FILES})
install(FILES ${ZAL_MANPAGE_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/batch.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zal)

# The Debian package: the programs, their manual pages and the batch notes.
set(ZAL_PACKAGE_MAINTAINER "ZAL developers <zal-devel@example.org>"
  CACHE STRING "Maintainer named in the Debian package")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zal")
set(CPACK_PACKAGE_VENDOR "ZAL developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lossy wavelet codec for 8-bit grey-scale images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"ZAL codes 8-bit grey-scale images with a multi-level 9/7 wavelet
transform, uniform scalar quantization and a tree coder of the
coefficients over an adaptive arithmetic coder.

This package holds three command-line programs: ZALcod (encoder),
ZALdecod (decoder, which can also print the PSNR against a reference
image) and Bppquest (finds the quantization that meets a target bit
rate). They read and write PGM, BMP and headerless RAW images.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZAL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_STRIP_FILES ON)
# Exact library versions come from dpkg-shlibdeps (package dpkg-dev); without
# it the package names the C++ runtime the programs link against.
find_program(ZAL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZAL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# The programs' package keeps to what it has always held; the library's
# components (libzal1, libzal-dev) are not in it.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
# Only the binary package: a source package would sweep up build folders.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
