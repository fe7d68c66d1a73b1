# `ekisa installer` with the stub the build makes: the host tool and the
# Windows tool (under Wine) write the same bytes, objdump reads the result,
# the stub stays as it was, and bad stubs and archives leave nothing behind.
# The commands that read archives read patch installers, signed ones too
# (osslsigncode verifies the signature); a signed stub is refused.
# The build makes the host tool's installer (REFERENCE), so that each side
# runs where its tool runs: the Windows side also in the 32-bit test machine.
#   cmake -DSIDE=host -DHOST_TOOL=... -DSTUB=... -DNO_RESOURCES=... -DOBJDUMP=...
#         -DARCHIVE=... -DONLY_SCRIPT=... -DBAD_ENTRY=... -DSIGNED=... -DSIGNED_STUB=...
#         -DOSSLSIGNCODE=... -DCERTIFICATE=... -DREFERENCE=... -DWORK=... -P this
#   cmake -DSIDE=windows -DWINDOWS_TOOL=... -DRUNNER=... -DSTUB=... -DARCHIVE=...
#         -DREFERENCE=... -DWORK=... -P this
if(SIDE STREQUAL "host")
  set(needed HOST_TOOL STUB NO_RESOURCES OBJDUMP ARCHIVE ONLY_SCRIPT BAD_ENTRY SIGNED SIGNED_STUB OSSLSIGNCODE
             CERTIFICATE REFERENCE WORK)
elseif(SIDE STREQUAL "windows")
  set(needed WINDOWS_TOOL RUNNER STUB ARCHIVE REFERENCE WORK)
else()
  message(FATAL_ERROR "SIDE must be host or windows")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/require_vars.cmake)
require_vars(${needed})
if(NOT EXISTS "${REFERENCE}")
  message(FATAL_ERROR "${REFERENCE} is missing (the build makes it)")
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# check(NAME EXIT code OUTPUT file [ERROR text] [COMMAND ...]): runs the
# command; its exit code must be code, its standard error must hold text,
# and file must exist exactly when code is 0.
function(check name)
  cmake_parse_arguments(C "" "EXIT;OUTPUT;ERROR" "COMMAND" ${ARGN})
  file(REMOVE "${C_OUTPUT}")
  execute_process(COMMAND ${C_COMMAND} RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  set(problems "")
  if(NOT rc EQUAL C_EXIT)
    string(APPEND problems " exit ${rc}, wanted ${C_EXIT};")
  endif()
  if(C_ERROR)
    string(FIND "${err}" "${C_ERROR}" at)
    if(at EQUAL -1)
      string(APPEND problems " no \"${C_ERROR}\" in the message;")
    endif()
  endif()
  if(C_EXIT EQUAL 0 AND NOT EXISTS "${C_OUTPUT}")
    string(APPEND problems " no output;")
  elseif(NOT C_EXIT EQUAL 0 AND EXISTS "${C_OUTPUT}")
    string(APPEND problems " an output was left;")
  endif()
  if(problems)
    message(SEND_ERROR "${name}:${problems}\n  stderr: ${err}")
  else()
    message(STATUS "ok: ${name}")
  endif()
endfunction()

# output_of(var COMMAND...): the command's standard output; it must succeed.
function(output_of var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "${ARGN}: exit ${rc}: ${err}")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

file(SHA256 "${STUB}" stub_before)
file(SHA256 "${REFERENCE}" reference_hash)

# same_bytes(file what): file must equal the host tool's installer.
function(same_bytes file what)
  file(SHA256 "${file}" hash)
  if(NOT hash STREQUAL reference_hash)
    message(SEND_ERROR "${what} differs from the host tool's installer")
  endif()
endfunction()

if(SIDE STREQUAL "windows")
  string(REPLACE "/" "\\" win_work "Z:${WORK}")
  string(REPLACE "/" "\\" win_archive "Z:${ARCHIVE}")
  string(REPLACE "/" "\\" win_stub "Z:${STUB}")
  check("Windows tool" EXIT 0 OUTPUT "${WORK}/windows.exe"
        COMMAND "${RUNNER}" "${WINDOWS_TOOL}" installer "${win_archive}" -o "${win_work}\\windows.exe" --stub "${win_stub}")
  check("Windows tool, its own stub" EXIT 0 OUTPUT "${WORK}/kit.exe"
        COMMAND "${RUNNER}" "${WINDOWS_TOOL}" installer "${win_archive}" -o "${win_work}\\kit.exe")
  foreach(other windows kit)
    same_bytes("${WORK}/${other}.exe" "${other}.exe")
  endforeach()
  output_of(archive_list "${RUNNER}" "${WINDOWS_TOOL}" list "${win_archive}")
  output_of(kit_list "${RUNNER}" "${WINDOWS_TOOL}" list "${win_work}\\kit.exe")
  if(NOT kit_list STREQUAL archive_list OR NOT kit_list MATCHES "quorvel.exe")
    message(SEND_ERROR "the Windows tool lists the patch installer as\n${kit_list}\nand its archive as\n${archive_list}")
  endif()
  file(WRITE "${WORK}/text.exe" "This is not a program, just some text that is long enough to look at.\n")
  check("Windows tool, stub not a PE file" EXIT 1 OUTPUT "${WORK}/bad.exe" ERROR "not a PE file"
        COMMAND "${RUNNER}" "${WINDOWS_TOOL}" installer "${win_archive}" -o "${win_work}\\bad.exe"
                --stub "${win_work}\\text.exe")
  file(SHA256 "${STUB}" stub_after)
  if(NOT stub_after STREQUAL stub_before)
    message(SEND_ERROR "the stub was changed")
  endif()
  return()
endif()

# The host tool again: the same bytes as the build's run.
set(host "${WORK}/host.exe")
check("host tool" EXIT 0 OUTPUT "${host}"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${host}" --stub "${STUB}")
same_bytes("${host}" "a second run of the host tool")

# objdump reads the image and finds the archive as resource RT_RCDATA 130.
execute_process(COMMAND "${OBJDUMP}" -p "${host}" RESULT_VARIABLE rc OUTPUT_VARIABLE dump ERROR_VARIABLE dump_err)
file(SIZE "${ARCHIVE}" archive_size)
math(EXPR size_hex "${archive_size}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" size_hex "${size_hex}")
string(REGEX MATCH "RT_RCDATA[^\n]*\n[^\n]*\n[^\n]*ID: 0x000082[^\n]*\n[^\n]*\n[^\n]*\n[^\n]*Size: 0x0*${size_hex}," found "${dump}")
if(NOT rc EQUAL 0 OR dump_err OR NOT found)
  message(SEND_ERROR "objdump -p: exit ${rc}, ${dump_err}; RT_RCDATA 130 of ${archive_size} bytes found: '${found}'")
endif()

# No replacing without -f; with -f the same bytes again.
file(WRITE "${WORK}/old.exe" "keep me")
execute_process(COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${WORK}/old.exe" --stub "${STUB}"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
file(READ "${WORK}/old.exe" kept)
if(NOT rc EQUAL 1 OR NOT kept STREQUAL "keep me" OR NOT err MATCHES "use -f")
  message(SEND_ERROR "an existing output was not kept without -f (exit ${rc}): ${err}")
endif()

# Stubs that are not the installer, and archives it must not carry.
file(WRITE "${WORK}/text.exe" "This is not a program, just some text that is long enough to look at.\n")
file(SIZE "${STUB}" stub_size)
math(EXPR half "${stub_size} / 2")
execute_process(COMMAND head -c 4096 "${STUB}" OUTPUT_FILE "${WORK}/cut-in-headers.exe")
execute_process(COMMAND head -c ${half} "${STUB}" OUTPUT_FILE "${WORK}/cut-in-half.exe")
set(out "${WORK}/bad.exe")
check("stub: not a PE file" EXIT 1 OUTPUT "${out}" ERROR "not a PE file"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/text.exe")
check("stub: a PE without resources" EXIT 1 OUTPUT "${out}" ERROR "has no resource section"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${NO_RESOURCES}")
check("stub: cut after 4096 bytes" EXIT 1 OUTPUT "${out}" ERROR "truncated"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/cut-in-headers.exe")
check("stub: cut in half" EXIT 1 OUTPUT "${out}" ERROR "truncated"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/cut-in-half.exe")
check("archive: a damaged entry" EXIT 1 OUTPUT "${out}" ERROR "would install wrong bytes"
      COMMAND "${HOST_TOOL}" installer "${BAD_ENTRY}" -o "${out}" --stub "${STUB}")
check("archive: not an archive" EXIT 1 OUTPUT "${out}" ERROR "not a readable EKISA archive"
      COMMAND "${HOST_TOOL}" installer "${WORK}/text.exe" -o "${out}" --stub "${STUB}")
check("archive: script only" EXIT 0 OUTPUT "${out}" ERROR "quorvel.exe is not in the archive's root"
      COMMAND "${HOST_TOOL}" installer "${ONLY_SCRIPT}" -o "${out}" --stub "${STUB}")

# Patch installers, signed or not, read as the archive they carry.
execute_process(COMMAND "${OSSLSIGNCODE}" verify -CAfile "${CERTIFICATE}" -in "${SIGNED}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE verify_out ERROR_VARIABLE verify_out)
if(NOT rc EQUAL 0)
  message(SEND_ERROR "osslsigncode verify ${SIGNED}: exit ${rc}\n${verify_out}")
endif()
output_of(archive_list "${HOST_TOOL}" list "${ARCHIVE}")
file(MAKE_DIRECTORY "${WORK}/from-archive")
output_of(ignored "${HOST_TOOL}" extract "${ARCHIVE}" -o "${WORK}/from-archive")
foreach(program host SIGNED)
  set(path "${WORK}/host.exe")
  if(program STREQUAL "SIGNED")
    set(path "${SIGNED}")
  endif()
  output_of(listed "${HOST_TOOL}" list "${path}")
  if(NOT listed STREQUAL archive_list OR NOT listed MATCHES "quorvel.exe")
    message(SEND_ERROR "list ${program}: \n${listed}\nnot as the archive's:\n${archive_list}")
  endif()
  output_of(ignored "${HOST_TOOL}" verify "${path}")
  output_of(ignored "${HOST_TOOL}" extract "${path}" -o "${WORK}/from-${program}")
  execute_process(COMMAND "${HOST_TOOL}" cat "${path}" quorvel.exe OUTPUT_FILE "${WORK}/from-${program}/cat")
  foreach(file quorvel.exe script.eka cat)
    set(want_file "${file}")
    if(file STREQUAL "cat")
      set(want_file quorvel.exe)
    endif()
    file(SHA256 "${WORK}/from-archive/${want_file}" want)
    file(SHA256 "${WORK}/from-${program}/${file}" got)
    if(NOT got STREQUAL want)
      message(SEND_ERROR "${program}: ${file} differs from the archive's ${want_file}")
    endif()
  endforeach()
endforeach()
# An earlier patch installer gives its patch data to a new one.
check("archive: a signed patch installer" EXIT 0 OUTPUT "${WORK}/again.exe"
      COMMAND "${HOST_TOOL}" installer "${SIGNED}" -o "${WORK}/again.exe" --stub "${STUB}")
same_bytes("${WORK}/again.exe" "an installer made from a signed patch installer")

set(none "${WORK}/no-output")
check("list: the stub" EXIT 1 OUTPUT "${none}" ERROR "its patch data (resource \"RT_RCDATA\" 130) is not an EKISA archive"
      COMMAND "${HOST_TOOL}" list "${STUB}")
check("list: a program without resources" EXIT 1 OUTPUT "${none}" ERROR "without patch data"
      COMMAND "${HOST_TOOL}" list "${NO_RESOURCES}")
check("verify: a patch installer cut in half" EXIT 1 OUTPUT "${none}" ERROR "truncated"
      COMMAND "${HOST_TOOL}" verify "${WORK}/cut-in-half.exe")
check("stub: signed" EXIT 1 OUTPUT "${out}" ERROR "then sign the patch installer"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${SIGNED_STUB}")

file(SHA256 "${STUB}" stub_after)
if(NOT stub_after STREQUAL stub_before)
  message(SEND_ERROR "the stub was changed")
endif()
