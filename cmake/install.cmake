# Installation and packages: droppair, the tools that are built, droppair-batch and a man page for
# each under the usual GNU directories; CPack makes a .deb on Linux and a .zip for the Windows
# build. Included at the end of the root CMakeLists.txt.
include(GNUInstallDirs)

# DROPPAIR_VERSION comes from cmake/version.cmake.

install(TARGETS droppair RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(droppair_man_pages man/droppair.1)
foreach(tool abgen snodump droppair-products)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND droppair_man_pages man/${tool}.1)
  endif()
endforeach()
if(NOT WIN32)
  # The batch runner needs python3 and GNU parallel, so it is not part of the Windows build.
  # The quick-looks need Debian's python3-matplotlib, -netcdf4 and -numpy.
  # The copies that carry the version and commit (cmake/version.cmake).
  install(PROGRAMS ${CMAKE_BINARY_DIR}/scripts/droppair-batch ${CMAKE_BINARY_DIR}/scripts/droppair-quicklook
          DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND droppair_man_pages man/droppair-batch.1 man/droppair-quicklook.1)
  install(FILES ${droppair_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# The Windows archive keeps the README and the examples at its top, beside bin/.
if(WIN32)
  set(droppair_docdir .)
else()
  set(droppair_docdir ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES README.md DESTINATION ${droppair_docdir})
install(DIRECTORY examples/ DESTINATION ${droppair_docdir}/examples)

set(CPACK_PACKAGE_NAME droppair)
set(CPACK_PACKAGE_VERSION ${DROPPAIR_VERSION})
set(CPACK_PACKAGE_VENDOR "droppair")
set(CPACK_PACKAGE_CONTACT "droppair maintainers <droppair@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Particle pairing for a two-camera optical distrometer")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Pairs the particles that the two line-scan cameras of an optical precipitation instrument saw "
       "in one raw data file and writes them with their sizes and fall speeds to the particle file; "
       "droppair-batch runs it over whole archives with GNU parallel.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "droppair-${DROPPAIR_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  # What dpkg-shlibdeps finds for the programs is added to these.
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, python3")
  endif()
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel, python3-matplotlib, python3-netcdf4, python3-numpy")
endif()
include(CPack)
