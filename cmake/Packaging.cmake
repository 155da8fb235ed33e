# What gets installed besides the libraries and the programs, and the Debian
# packages.
#
#   cmake --install build --prefix /some/where
#   cpack --config build/CPackConfig.cmake -G DEB -B out
#
# The packages, one per install component:
#   zal          (component Unspecified) the programs, their manual pages, docs/batch.md
#   libzal1      libzal.so.1
#   libzal-dev   zal.h, libzal.so, libzal.a, zal.pc, the CMake package, zal(3), docs/api.md
#   python3-zal  the Python module zal.py
# Each holds the licence as /usr/share/doc/<package>/copyright.
#
# The maintainer shown in the packages can be set at configure time with
# -DZAL_PACKAGE_MAINTAINER="Name <address>".
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Manual pages go in compressed, as Debian's policy wants them and as man(1)
# reads them; -n keeps the archives free of names and dates, so that two
# builds of the same sources give the same package.
find_program(ZAL_GZIP gzip)
set(ZAL_MANPAGE_FILES)
foreach(page ZALcod.1 ZALdecod.1 Bppquest.1 zal.3)
  set(src ${PROJECT_SOURCE_DIR}/man/${page})
  if(ZAL_GZIP)
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E copy ${src} ${PROJECT_BINARY_DIR}/man/${page}
      COMMAND ${ZAL_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}
      DEPENDS ${src}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
  else()
    set(out ${src})
  endif()
  list(APPEND ZAL_MANPAGE_FILES ${out})
endforeach()
add_custom_target(zal_manpages ALL DEPENDS ${ZAL_MANPAGE_FILES})
list(POP_BACK ZAL_MANPAGE_FILES ZAL_MANPAGE_API)
install(FILES ${ZAL_MANPAGE_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZAL_MANPAGE_API} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libzal-dev)
install(FILES ${PROJECT_SOURCE_DIR}/docs/api.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libzal-dev COMPONENT libzal-dev)
install(FILES ${PROJECT_SOURCE_DIR}/docs/batch.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zal)

# The licence, as each package's copyright file.
foreach(component Unspecified libzal1 libzal-dev python3-zal)
  set(package ${component})
  if(component STREQUAL "Unspecified")
    set(package zal)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# find_package(zal 1): zal::zal is libzal.so.1, zal::zal_static libzal.a.
set(ZAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zal)
install(EXPORT zalTargets NAMESPACE zal:: DESTINATION ${ZAL_CMAKE_DIR} COMPONENT libzal-dev)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zalConfigVersion.cmake
  VERSION ${ZAL_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/zalConfig.cmake ${PROJECT_BINARY_DIR}/zalConfigVersion.cmake
  DESTINATION ${ZAL_CMAKE_DIR} COMPONENT libzal-dev)

# zal.pc names the prefix the files are installed under, which is known only
# when installing (cpack installs under /usr into a staging folder). The
# libraries' other needs (libzal.a is C++ over threads) are private: a C
# program that links the static library asks for them with --static.
set(ZAL_PC_PREFIX "@ZAL_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zal.pc.in ${PROJECT_BINARY_DIR}/zal.pc.in @ONLY)
install(CODE "
  set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/zal.pc\")
  message(STATUS \"Installing: \${pc}\")
  file(READ \"${PROJECT_BINARY_DIR}/zal.pc.in\" text)
  string(REPLACE \"@ZAL_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
  file(WRITE \"\${pc}\" \"\${text}\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")" COMPONENT libzal-dev)

# The Python module, where Debian's python3 looks for packaged modules.
set(ZAL_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Install folder of zal.py, under the prefix")
install(FILES ${PROJECT_SOURCE_DIR}/python/zal.py DESTINATION ${ZAL_PYTHON_DIR} COMPONENT python3-zal)

# ----------------------------------------------------------- Debian packages
set(ZAL_PACKAGE_MAINTAINER "ZAL developers <devel@zal.invalid>"
  CACHE STRING "Maintainer named in the Debian packages")
# Build folders configured before the project named itself kept the old
# placeholder address in their cache.
if(ZAL_PACKAGE_MAINTAINER MATCHES "@example\\.org")
  set(ZAL_PACKAGE_MAINTAINER "ZAL developers <devel@zal.invalid>" CACHE STRING
    "Maintainer named in the Debian packages" FORCE)
endif()
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zal")
set(CPACK_PACKAGE_VENDOR "ZAL developers")
# The packages carry the project's release, as the library's header does; the
# programs' banners keep their own version.
set(CPACK_PACKAGE_VERSION ${ZAL_LIB_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZAL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_STRIP_FILES ON)
# Installed under /usr with DESTDIR, so that CMAKE_INSTALL_PREFIX is /usr
# while installing (zal.pc takes it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified libzal1 libzal-dev python3-zal)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(ZAL_ABOUT
"ZAL codes 8-bit grey-scale images with a multi-level 9/7 wavelet
transform, uniform scalar quantization and a tree coder of the
coefficients over an adaptive arithmetic coder.")

set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME "zal")
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION
"lossy wavelet codec for 8-bit grey-scale images
${ZAL_ABOUT}

This package holds three command-line programs: ZALcod (encoder),
ZALdecod (decoder, which can also print the PSNR against a reference
image) and Bppquest (finds the quantization that meets a target bit
rate). They read and write PGM, BMP, PNG and headerless RAW images.")

set(CPACK_DEBIAN_LIBZAL1_PACKAGE_NAME "libzal1")
set(CPACK_DEBIAN_LIBZAL1_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_LIBZAL1_DESCRIPTION
"ZAL image codec library, memory to memory
${ZAL_ABOUT}

This package holds the shared library that programs use to code,
decode and rate-search images held in memory.")

set(CPACK_DEBIAN_LIBZAL-DEV_PACKAGE_NAME "libzal-dev")
set(CPACK_DEBIAN_LIBZAL-DEV_PACKAGE_SECTION "libdevel")
set(CPACK_COMPONENT_LIBZAL-DEV_DEPENDS libzal1)
# The static library reads PNG files through libspng and takes its CRC-32 from
# zlib: linking it needs -lspng -lz.
set(CPACK_DEBIAN_LIBZAL-DEV_PACKAGE_DEPENDS "libspng-dev, zlib1g-dev")
set(CPACK_DEBIAN_LIBZAL-DEV_DESCRIPTION
"ZAL image codec library, development files
${ZAL_ABOUT}

This package holds what building a C or C++ program against the
library needs: the header zal/zal.h, the static library, the
pkg-config file zal.pc, the CMake package (find_package(zal)) and
the manual page zal(3).")

set(CPACK_DEBIAN_PYTHON3-ZAL_PACKAGE_NAME "python3-zal")
set(CPACK_DEBIAN_PYTHON3-ZAL_PACKAGE_SECTION "python")
set(CPACK_DEBIAN_PYTHON3-ZAL_PACKAGE_ARCHITECTURE "all")
set(CPACK_COMPONENT_PYTHON3-ZAL_DEPENDS libzal1)
set(CPACK_DEBIAN_PYTHON3-ZAL_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON3-ZAL_PACKAGE_SUGGESTS "python3-numpy")
set(CPACK_DEBIAN_PYTHON3-ZAL_DESCRIPTION
"ZAL image codec, Python module
${ZAL_ABOUT}

This package holds the module zal, which codes and decodes images
held in memory (bytes or numpy arrays) through the shared library.")

# Exact library versions come from dpkg-shlibdeps (package dpkg-dev); without
# it the packages with programs or the shared library name the C++ runtime
# and libspng's.
# libzal1 also says which package provides libzal.so.1 (its shlibs file).
find_program(ZAL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZAL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libspng0, zlib1g")
  set(CPACK_DEBIAN_LIBZAL1_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libspng0, zlib1g")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Only the binary packages: a source package would sweep up build folders.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

# What a user of the library gets, end to end: tests/packaging.sh builds the
# C example against the installed files, runs the Python module and checks
# the packages (exit 77: skipped for lack of a tool, which it names).
if(ZAL_TESTS)
  set(ZAL_EXAMPLE_FLAGS "")
  if(ZAL_SANITIZE)
    set(ZAL_EXAMPLE_FLAGS "-fsanitize=address,undefined")
  endif()
  foreach(part c python deb)
    add_test(NAME Packaging.${part}
      COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging.sh ${part} ${PROJECT_BINARY_DIR}
        ${PROJECT_SOURCE_DIR} "${ZAL_EXAMPLE_FLAGS}")
    set_tests_properties(Packaging.${part} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
  endforeach()
endif()
