# Run by CPack once the files are staged: removes the .comment and .note
# sections (the compiler's version strings) from the programs, as dh_strip
# does for Debian's own packages.
file(GLOB programs ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*)
foreach(program IN LISTS programs)
  execute_process(
    COMMAND ${CPACK_KARVELLO_STRIP} --remove-section=.comment
            --remove-section=.note ${program}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
