# Creates the same archive with the host tool and with the Windows tool (under
# Wine) and requires identical bytes: archives must not depend on the target.
# The Windows tool runs under a Japanese and an English locale (code pages
# 932 and 1252): create, list, extract and cat of Japanese names give the
# host tool's bytes under both, and cat into a pipe that closes early ends
# quietly, as on Linux.
# Two steps, so that the Windows side also runs where the host tool cannot
# (the 32-bit test machine): the build makes the inputs and the host archive,
# the test the Windows archive.
#   cmake -DSTEP=host -DHOST_TOOL=... -DWORK=... -P this
#   cmake -DSTEP=windows -DWINDOWS_TOOL=... -DRUNNER=... -DWORK=... -P this
if(STEP STREQUAL "host")
  set(needed HOST_TOOL WORK)
elseif(STEP STREQUAL "windows")
  set(needed WINDOWS_TOOL RUNNER WORK)
else()
  message(FATAL_ERROR "STEP must be host or windows")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/require_vars.cmake)
require_vars(${needed})

set(files -t ekisa_code "サブ/ソース.txt" big.txt -t ekisa_crypt -p key crypt.txt -t raw raw.txt ツリー)

if(STEP STREQUAL "host")
  file(REMOVE_RECURSE "${WORK}")
  file(MAKE_DIRECTORY "${WORK}/src/サブ")
  file(WRITE "${WORK}/src/サブ/ソース.txt" "ミルトア script line\n")
  # Some hundred kilobytes with repeats at several distances, so that phrases,
  # runs and more than one 65,536-byte write take part.
  set(text "")
  foreach(i RANGE 1 3000)
    math(EXPR k "(${i} * 7919) % 1000")
    string(APPEND text "entry ${i}: value ${k} ${k} ${k}; ")
    if(i EQUAL 1500)
      string(APPEND text "################################################################")
    endif()
  endforeach()
  file(WRITE "${WORK}/src/big.txt" "${text}${text}")
  file(WRITE "${WORK}/src/crypt.txt" "${text}")
  file(WRITE "${WORK}/src/raw.txt" "as it is\n")
  # A folder is walked in the order of the stored names; 一 and 亜 come in
  # one order in UTF-8 and in the other in CP932.
  foreach(name 一 亜 ア b)
    file(WRITE "${WORK}/src/ツリー/${name}.txt" "${name}\n")
  endforeach()
  file(MAKE_DIRECTORY "${WORK}/src/ツリー/空")

  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1000000000
            "${HOST_TOOL}" create "${WORK}/host.eka" -C "${WORK}/src" ${files}
    RESULT_VARIABLE host_result)
  if(NOT host_result EQUAL 0)
    message(FATAL_ERROR "the host tool failed: ${host_result}")
  endif()
  execute_process(COMMAND "${HOST_TOOL}" list "${WORK}/host.eka" OUTPUT_FILE "${WORK}/host-list.txt"
                  RESULT_VARIABLE host_result)
  if(NOT host_result EQUAL 0)
    message(FATAL_ERROR "the host tool's list failed: ${host_result}")
  endif()
  return()
endif()

if(NOT EXISTS "${WORK}/host.eka")
  message(FATAL_ERROR "${WORK}/host.eka is missing (the build makes it)")
endif()
# Wine sees the Linux tree as drive Z:.
string(REPLACE "/" "\\" windows_work "Z:${WORK}")
file(SHA256 "${WORK}/host.eka" host_hash)
file(SIZE "${WORK}/host.eka" host_size)
file(GLOB_RECURSE sources RELATIVE "${WORK}/src" "${WORK}/src/*")
set(failures "")
# windows_tool(RESULT var OUTPUT file ARGS...): the Windows tool's output into
# a file, never a pipe: the wineserver that the first run starts inherits
# the run's pipes, and reading one would wait until the server goes.
function(windows_tool result output)
  execute_process(COMMAND ${run} ${ARGN} RESULT_VARIABLE rc OUTPUT_FILE "${output}" ERROR_FILE "${out}/err")
  set(${result} ${rc} PARENT_SCOPE)
endfunction()
foreach(locale ja_JP.UTF-8 en_US.UTF-8)
  set(run ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1000000000 WINE_LANG=${locale} "${RUNNER}" "${WINDOWS_TOOL}")
  set(out "${WORK}/${locale}")
  file(REMOVE_RECURSE "${out}")
  file(MAKE_DIRECTORY "${out}")
  string(REPLACE "/" "\\" windows_out "Z:${out}")
  set(archive "${windows_out}\\windows.eka")
  windows_tool(create_result "${out}/create" create "${archive}" -C "${windows_work}\\src" ${files})
  set(windows_hash "no archive")
  if(EXISTS "${out}/windows.eka")
    file(SHA256 "${out}/windows.eka" windows_hash)
  endif()
  if(NOT create_result EQUAL 0 OR NOT windows_hash STREQUAL host_hash)
    string(APPEND failures "\n${locale}: create: exit ${create_result}, archive ${windows_hash}, host ${host_hash}")
  endif()
  windows_tool(list_result "${out}/list.txt" list "${archive}")
  file(SHA256 "${out}/list.txt" listed)
  file(SHA256 "${WORK}/host-list.txt" host_listed)
  if(NOT listed STREQUAL host_listed)
    file(READ "${out}/list.txt" text)
    string(APPEND failures "\n${locale}: list differs from the host tool's:\n${text}")
  endif()
  windows_tool(extract_result "${out}/extract" extract "${archive}" -p key -o "${windows_out}\\x")
  file(GLOB_RECURSE extracted RELATIVE "${out}/x" "${out}/x/*")
  if(NOT extract_result EQUAL 0 OR NOT extracted STREQUAL sources)
    string(APPEND failures "\n${locale}: extract: exit ${extract_result}, files ${extracted}, not ${sources}")
  endif()
  foreach(name IN LISTS sources)
    file(SHA256 "${WORK}/src/${name}" want)
    set(got "")
    if(EXISTS "${out}/x/${name}")
      file(SHA256 "${out}/x/${name}" got)
    endif()
    if(NOT got STREQUAL want)
      string(APPEND failures "\n${locale}: ${name} extracted with other bytes")
    endif()
  endforeach()
  # cat of Japanese names in a folder, one with 0x5C as a second byte (ソ).
  foreach(name "サブ/ソース.txt" "ツリー/亜.txt")
    file(SHA256 "${WORK}/src/${name}" want)
    windows_tool(cat_result "${out}/cat" cat "${archive}" "${name}")
    file(SHA256 "${out}/cat" catted)
    if(NOT cat_result EQUAL 0 OR NOT catted STREQUAL want)
      string(APPEND failures "\n${locale}: cat ${name}: exit ${cat_result}, other bytes")
    endif()
  endforeach()
  execute_process(COMMAND ${run} cat "${archive}" big.txt COMMAND head -c 10
                  RESULTS_VARIABLE pipe_results OUTPUT_FILE "${out}/head" ERROR_FILE "${out}/err")
  list(GET pipe_results 0 pipe_result)
  file(READ "${out}/err" pipe_err)
  if(NOT pipe_result EQUAL 141 OR pipe_err)
    string(APPEND failures "\n${locale}: cat into a closed pipe: exit ${pipe_result}, said: ${pipe_err}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "the Windows tool does not give the host tool's bytes:${failures}")
endif()
message(STATUS "identical archives of ${host_size} bytes, lists, files and cat output under both locales")
