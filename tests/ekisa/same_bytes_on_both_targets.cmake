# Creates the same archive with the host tool and with the Windows tool (under
# Wine) and requires identical bytes: archives must not depend on the target.
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
  return()
endif()

if(NOT EXISTS "${WORK}/host.eka")
  message(FATAL_ERROR "${WORK}/host.eka is missing (the build makes it)")
endif()
file(REMOVE "${WORK}/windows.eka")

# Wine sees the Linux tree as drive Z:.
string(REPLACE "/" "\\" windows_work "Z:${WORK}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1000000000
          "${RUNNER}" "${WINDOWS_TOOL}" create "${windows_work}\\windows.eka" -C "${windows_work}\\src" ${files}
  RESULT_VARIABLE windows_result)
if(NOT windows_result EQUAL 0)
  message(FATAL_ERROR "the Windows tool failed: ${windows_result}")
endif()

file(SHA256 "${WORK}/host.eka" host_hash)
file(SHA256 "${WORK}/windows.eka" windows_hash)
file(SIZE "${WORK}/host.eka" host_size)
if(NOT host_hash STREQUAL windows_hash)
  message(FATAL_ERROR "the archives differ: host ${host_hash}, Windows ${windows_hash}")
endif()
message(STATUS "identical archives of ${host_size} bytes")
