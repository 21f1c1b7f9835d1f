# Manual pages made from the programs' own help by Debian's help2man, so
# that they never say other than --help does.
find_program(QUORVANE_HELP2MAN help2man)

# quorvane_man_page(TARGET "what it does" HELP_OPTION): TARGET.1, installed
# in share/man/man1. Without help2man the page is left out, with a warning.
function(quorvane_man_page target description help_option)
  if(NOT QUORVANE_HELP2MAN)
    message(WARNING "help2man not found: no manual page for ${target} (scripts/install-deps installs it)")
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${QUORVANE_HELP2MAN} --no-info --section=1 --name=${description} --help-option=${help_option}
            --version-option=--version --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target} VERBATIM)
  add_custom_target(${target}-manual ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION share/man/man1 COMPONENT tools)
endfunction()
