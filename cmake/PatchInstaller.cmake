# Building patch installers around EKISA archives.
#
#   ekisa_archive(OUTPUT archive [DIRECTORY dir] FILES [-t type] file... [DEPENDS ...])
#       makes an archive at build time with the host ekisa tool.
#   add_patch_installer(name ARCHIVE archive [NO_EXE_CHECK] [DEPENDS target...])
#       makes name.exe as a patch maker does, with `ekisa installer`: a copy
#       of the installer stub (target patch_installer_stub, app/) carrying the
#       archive as its patch data (resource type name "RT_RCDATA", id 130).
#       NO_EXE_CHECK ships a quorvel.exe that is no program (test payloads).
#   patch_installer_program(name PATCH_DATA line [MANIFEST file])
#       links the installer with its resources and one resource-script line
#       for its patch data, for the stub and for test programs whose patch
#       data is deliberately missing, of another type, or damaged; MANIFEST
#       replaces the installer's manifest.
#
# The Windows builds cannot run the ekisa tool they build themselves, so they
# take a host-built one: -DEKISA_TOOL=<host build>/tools/ekisa.
enable_language(RC)

set(EKISA_TOOL "" CACHE FILEPATH "Host-built ekisa tool used to make the archives (e.g. build/host/tools/ekisa)")

function(require_ekisa_tool)
  if(NOT EKISA_TOOL OR NOT EXISTS "${EKISA_TOOL}")
    message(FATAL_ERROR
      "The Windows build makes its patch archives and installers with the host ekisa tool, and "
      "EKISA_TOOL does not name one (EKISA_TOOL='${EKISA_TOOL}'). Build the host preset first "
      "(cmake --preset host && cmake --build build/host --target ekisa_tool) and configure "
      "with -DEKISA_TOOL=$PWD/build/host/tools/ekisa.")
  endif()
endfunction()

function(ekisa_archive)
  require_ekisa_tool()
  cmake_parse_arguments(EA "" "OUTPUT;DIRECTORY" "FILES;DEPENDS" ${ARGN})
  if(NOT EA_OUTPUT OR NOT EA_FILES)
    message(FATAL_ERROR "ekisa_archive: OUTPUT and FILES are needed")
  endif()
  set(args create ${EA_OUTPUT} -f)
  set(inputs)
  if(EA_DIRECTORY)
    list(APPEND args -C ${EA_DIRECTORY})
  endif()
  set(expect_type FALSE)
  foreach(f IN LISTS EA_FILES)
    if(expect_type)
      list(APPEND args ${f})
      set(expect_type FALSE)
    elseif(f STREQUAL "-t")
      list(APPEND args -t)
      set(expect_type TRUE)
    else()
      list(APPEND args ${f})
      if(EA_DIRECTORY)
        list(APPEND inputs ${EA_DIRECTORY}/${f})
      else()
        list(APPEND inputs ${f})
      endif()
    endif()
  endforeach()
  get_filename_component(out_dir ${EA_OUTPUT} DIRECTORY)
  add_custom_command(
    OUTPUT ${EA_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${EA_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1000000000 ${EKISA_TOOL} ${args}
    DEPENDS ${inputs} ${EA_DEPENDS} ${EKISA_TOOL}
    COMMENT "Making archive ${EA_OUTPUT}"
    VERBATIM)
endfunction()

function(add_patch_installer name)
  require_ekisa_tool()
  cmake_parse_arguments(PI "NO_EXE_CHECK" "ARCHIVE" "DEPENDS" ${ARGN})
  if(NOT PI_ARCHIVE)
    message(FATAL_ERROR "add_patch_installer(${name}): ARCHIVE is needed")
  endif()
  get_filename_component(archive ${PI_ARCHIVE} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.exe)
  set(options -f)
  if(PI_NO_EXE_CHECK)
    list(APPEND options --no-exe-check)
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${EKISA_TOOL} installer ${archive} -o ${output} --stub $<TARGET_FILE:patch_installer_stub> ${options}
    DEPENDS ${archive} patch_installer_stub ${EKISA_TOOL}
    COMMENT "Making patch installer ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${output})
  if(PI_DEPENDS)
    add_dependencies(${name} ${PI_DEPENDS})
  endif()
endfunction()

function(patch_installer_program name)
  cmake_parse_arguments(PP "" "PATCH_DATA;MANIFEST" "" ${ARGN})
  get_filename_component(resource_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../app/resources ABSOLUTE)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_resources.rc)
  set(manifest_line "")
  if(PP_MANIFEST)
    set(manifest_line "#define PATCH_MANIFEST \"${PP_MANIFEST}\"")
  endif()
  file(CONFIGURE OUTPUT ${rc} CONTENT "// Generated for ${name}: the installer's resources and its patch data.
${manifest_line}
#include \"patch.rc\"
#undef RT_RCDATA
IDR_KITMARK RT_RCDATA \"${resource_dir}/kit-mark.bin\"
${PP_PATCH_DATA}
" @ONLY)
  add_executable(${name} WIN32 ${rc})
  target_link_libraries(${name} PRIVATE patch_app_objects)
  target_include_directories(${name} PRIVATE ${resource_dir})
  set(rc_inputs
    ${resource_dir}/patch.rc
    ${resource_dir}/resource.h
    ${resource_dir}/patch.ico
    ${resource_dir}/patch.manifest
    ${resource_dir}/kit-mark.bin)
  if(PP_MANIFEST)
    list(APPEND rc_inputs ${PP_MANIFEST})
  endif()
  # A file the patch data line names is an input too.
  if(PP_PATCH_DATA MATCHES "\"([^\"]+)\"$")
    list(APPEND rc_inputs ${CMAKE_MATCH_1})
  endif()
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${rc_inputs}")
endfunction()
