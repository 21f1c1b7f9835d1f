# Manual pages written in scdoc (docs/man/NAME.SECTION.scd), made into roff
# by Debian's scdoc and installed gzipped, as Debian's man expects them.
find_program(QUORVANE_SCDOC scdoc)

# quorvane_manual(NAME SECTION): docs/man/NAME.SECTION.scd into
# NAME.SECTION (kept in the build for the lint) and NAME.SECTION.gz,
# installed in share/man/manSECTION. Without scdoc the page is left out,
# with a warning.
function(quorvane_manual name section)
  if(NOT QUORVANE_SCDOC)
    message(WARNING "scdoc not found: no manual page ${name}(${section}) (scripts/install-deps installs it)")
    return()
  endif()
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${name}.${section}.scd)
  set(page ${CMAKE_BINARY_DIR}/man/${name}.${section})
  # gzip -n: no name or time stamp inside, so the package is reproducible.
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "\"$0\" <\"$1\" >\"$2\" && gzip -9nkf \"$2\"" ${QUORVANE_SCDOC} ${source} ${page}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${name}-manual ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION share/man/man${section} COMPONENT tools)
endfunction()

# A program's own page, docs/man/TARGET.1.scd. The arguments after TARGET
# are left from the pages help2man made from --help, and no longer used.
function(quorvane_man_page target)
  quorvane_manual(${target} 1)
endfunction()
