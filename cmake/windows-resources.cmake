# A Windows program's icon, version information and manifest: NAME.rc and
# NAME.manifest beside the program's CMakeLists, the icon from res/.
function(qx_windows_resources target name)
  if(NOT WIN32)
    return()
  endif()
  target_sources(${target} PRIVATE ${name}.rc)
  set_source_files_properties(${name}.rc PROPERTIES
    INCLUDE_DIRECTORIES "${CMAKE_CURRENT_SOURCE_DIR};${PROJECT_SOURCE_DIR}/res"
    OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${name}.manifest;${PROJECT_SOURCE_DIR}/res/qxupdater.ico")
  if(MSVC)
    # MSVC's linker writes the manifest; one in the script would clash.
    target_sources(${target} PRIVATE ${name}.manifest)
    set_source_files_properties(${name}.rc PROPERTIES COMPILE_DEFINITIONS QX_LINKER_MANIFEST)
  endif()
endfunction()
