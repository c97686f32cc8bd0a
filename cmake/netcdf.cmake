# The netCDF-C library, for the tools' netCDF export; droppair and abgen never need it. Found
# through pkg-config, else by its header and library; when found, DROPPAIR_HAVE_NETCDF is ON and a
# target links droppair::netcdf. Otherwise the tools build without the export and say so when it
# is asked for. DROPPAIR_NETCDF=OFF leaves it out on purpose; the Windows cross-build always does.
# Included by the root CMakeLists.txt before the tools.

option(DROPPAIR_NETCDF "Build the netCDF export where the netCDF-C library is found" ON)
set(DROPPAIR_HAVE_NETCDF OFF)

if(NOT DROPPAIR_NETCDF)
  message(STATUS "netCDF export: not built in (DROPPAIR_NETCDF=OFF)")
elseif(WIN32)
  message(STATUS "netCDF export: not built in (no netCDF-C for the Windows build)")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(NETCDF QUIET IMPORTED_TARGET GLOBAL netcdf)
  endif()
  if(TARGET PkgConfig::NETCDF)
    add_library(droppair::netcdf INTERFACE IMPORTED GLOBAL)
    target_link_libraries(droppair::netcdf INTERFACE PkgConfig::NETCDF)
    set(DROPPAIR_HAVE_NETCDF ON)
    message(STATUS "netCDF export: built in (netCDF-C ${NETCDF_VERSION}, pkg-config)")
  else()
    find_path(NETCDF_INCLUDE_DIR netcdf.h)
    find_library(NETCDF_LIBRARY netcdf)
    if(NETCDF_INCLUDE_DIR AND NETCDF_LIBRARY)
      add_library(droppair::netcdf INTERFACE IMPORTED GLOBAL)
      target_include_directories(droppair::netcdf INTERFACE ${NETCDF_INCLUDE_DIR})
      target_link_libraries(droppair::netcdf INTERFACE ${NETCDF_LIBRARY})
      set(DROPPAIR_HAVE_NETCDF ON)
      message(STATUS "netCDF export: built in (${NETCDF_LIBRARY})")
    else()
      message(STATUS "netCDF export: not built in (netCDF-C not found; Debian: apt-get install libnetcdf-dev)")
    endif()
  endif()
endif()
