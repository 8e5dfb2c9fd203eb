# Debian's compiler and linker flags (dpkg-buildflags, with every hardening
# feature on: stack protector, fortified functions, format checks, full
# RELRO and immediate binding), so that the programs of the Debian package
# are hardened as Debian's own are. Optimisation and debug information stay
# with the build type, and the source paths stay absolute for the debugger.
# A sanitizer or fuzzing build, a build without optimisation (the fortified
# functions need it) and a cross build go without.
option(QX_DPKG_BUILDFLAGS "Build with Debian's hardening flags from dpkg-buildflags" ON)

string(TOUPPER "${CMAKE_BUILD_TYPE}" qx_build_type)
find_program(QX_DPKG_BUILDFLAGS_PROGRAM dpkg-buildflags)
if(QX_DPKG_BUILDFLAGS AND QX_DPKG_BUILDFLAGS_PROGRAM AND NOT CMAKE_CROSSCOMPILING
   AND NOT QX_SANITIZE AND NOT QX_BUILD_FUZZ
   AND qx_build_type MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$")
  foreach(kind CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${QX_DPKG_BUILDFLAGS_PROGRAM} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O).*$|^-f(file|debug|macro)-prefix-map=")
    set(qx_dpkg_${kind} ${flags})
  endforeach()
  # One generator expression a flag: a list inside one would be split.
  foreach(lang C CXX)
    set(flags ${qx_dpkg_${lang}FLAGS})
    foreach(flag ${flags})
      add_compile_options("$<$<COMPILE_LANGUAGE:${lang}>:${flag}>")
    endforeach()
  endforeach()
  add_compile_options(${qx_dpkg_CPPFLAGS})
  add_link_options(${qx_dpkg_LDFLAGS})
  message(STATUS "Hardening flags from dpkg-buildflags: ${qx_dpkg_CPPFLAGS} ${qx_dpkg_LDFLAGS}")
endif()
