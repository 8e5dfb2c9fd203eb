# Run by CPack on the staged files of the Debian package, after the install
# and before the package is made: what a Debian package needs beyond a
# plain install.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(doc ${root}/usr/share/doc/qxupdater)

# Both licences are in the copyright file; a second copy in the doc folder
# is what Debian asks packages not to ship.
file(REMOVE ${doc}/LICENSE ${doc}/LICENSE.txt)

# The compiler's version note in every program, as Debian's own packages
# drop it when they strip.
file(GLOB programs ${root}/usr/bin/*)
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_QX_STRIP} --remove-section=.comment ${program}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot remove the .comment section of ${program}")
  endif()
endforeach()

# What lintian reports of this package that does not apply to it, with why.
# (file(INSTALL) would put it under DESTDIR, which CPack has set here.)
file(MAKE_DIRECTORY ${root}/usr/share/lintian/overrides)
file(COPY_FILE ${CPACK_QX_OVERRIDES} ${root}/usr/share/lintian/overrides/qxupdater)
