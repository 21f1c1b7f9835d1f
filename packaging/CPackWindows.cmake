# Read by cpack once per generator: the zip takes the "program" component
# (the programs at its top), the installer the "installed" one (the
# programs in bin, the folder its PATH choice names).
if(CPACK_GENERATOR STREQUAL "NSIS")
  string(REPLACE ";ALL;" ";installed;" CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_INSTALL_CMAKE_PROJECTS}")
else()
  string(REPLACE ";ALL;" ";program;" CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_INSTALL_CMAKE_PROJECTS}")
endif()
