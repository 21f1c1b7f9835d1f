# Read by cpack once per generator: the zip holds the programs at its top,
# the installer the programs in bin (so its PATH choice finds them).
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_COMPONENTS_ALL installed)
else()
  set(CPACK_COMPONENTS_ALL program)
endif()
