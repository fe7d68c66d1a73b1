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

# check(NAME EXIT code [OUTPUT file] [ERROR text] [ONE_LINE] [COMMAND ...]):
# runs the command; its exit code must be code, its standard error must hold
# text (and be one line with ONE_LINE), and file must exist exactly when
# code is 0.
function(check name)
  cmake_parse_arguments(C "ONE_LINE" "EXIT;OUTPUT;ERROR" "COMMAND" ${ARGN})
  if(C_OUTPUT)
    file(REMOVE "${C_OUTPUT}")
  endif()
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
  string(REGEX MATCHALL "\n" newlines "${err}")
  list(LENGTH newlines lines)
  if(C_ONE_LINE AND NOT lines EQUAL 1)
    string(APPEND problems " ${lines} lines, not one;")
  endif()
  if(NOT C_OUTPUT)
  elseif(C_EXIT EQUAL 0 AND NOT EXISTS "${C_OUTPUT}")
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

# flip_byte(file offset): one byte of file inverted in place.
function(flip_byte file offset)
  file(READ "${file}" byte HEX OFFSET ${offset} LIMIT 1)
  math(EXPR flipped "0x${byte} ^ 0xFF" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" flipped "${flipped}")
  execute_process(COMMAND sh -c "printf '\\x${flipped}' | dd of='${file}' bs=1 seek=${offset} conv=notrunc status=none"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT byte)
    message(FATAL_ERROR "could not change byte ${offset} of ${file}")
  endif()
endfunction()

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
  # The digest the host tool recorded (nettle), checked with CryptoAPI.
  string(REPLACE "/" "\\" win_reference "Z:${REFERENCE}")
  check("Windows tool, verify of a patch installer" EXIT 0 ERROR "matches the SHA-256 digest recorded in the program"
        COMMAND "${RUNNER}" "${WINDOWS_TOOL}" verify "${win_reference}")
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
check("stub: a PE without resources" EXIT 1 OUTPUT "${out}" ONE_LINE ERROR "not an installer stub of this kit"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${NO_RESOURCES}")
# The stub with one byte of its mark changed: the same size, name and
# resources otherwise, refused all the same.
file(READ "${STUB}" stub_hex HEX)
string(HEX "EKISA patch installer kit" mark_hex)
string(FIND "${stub_hex}" "${mark_hex}" mark_at)
math(EXPR mark_at "${mark_at} / 2")
file(COPY_FILE "${STUB}" "${WORK}/unmarked.exe")
flip_byte("${WORK}/unmarked.exe" ${mark_at})
check("stub: without the kit's mark" EXIT 1 OUTPUT "${out}" ONE_LINE ERROR "not an installer stub of this kit"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/unmarked.exe")
check("stub: cut after 4096 bytes" EXIT 1 OUTPUT "${out}" ERROR "truncated"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/cut-in-headers.exe")
check("stub: cut in half" EXIT 1 OUTPUT "${out}" ERROR "truncated"
      COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${out}" --stub "${WORK}/cut-in-half.exe")
check("archive: a damaged entry" EXIT 1 OUTPUT "${out}" ERROR "would install wrong bytes"
      COMMAND "${HOST_TOOL}" installer "${BAD_ENTRY}" -o "${out}" --stub "${STUB}")
check("archive: not an archive" EXIT 1 OUTPUT "${out}" ERROR "not an EKISA archive; the installer would report"
      COMMAND "${HOST_TOOL}" installer "${WORK}/text.exe" -o "${out}" --stub "${STUB}")
check("archive: script only" EXIT 0 OUTPUT "${out}" ERROR "quorvel.exe is not in the archive's root"
      COMMAND "${HOST_TOOL}" installer "${ONLY_SCRIPT}" -o "${out}" --stub "${STUB}")

# A quorvel.exe that would not run is refused, unless the maker says so.
file(MAKE_DIRECTORY "${WORK}/game")
execute_process(COMMAND "${HOST_TOOL}" cat "${ARCHIVE}" quorvel.exe OUTPUT_FILE "${WORK}/game/real.exe")
execute_process(COMMAND "${HOST_TOOL}" cat "${ARCHIVE}" script.eka OUTPUT_FILE "${WORK}/game/script.eka")
file(SIZE "${WORK}/game/real.exe" real_size)
math(EXPR half "${real_size} / 2")
execute_process(COMMAND head -c ${half} "${WORK}/game/real.exe" OUTPUT_FILE "${WORK}/game/truncated.exe")
file(WRITE "${WORK}/game/empty.exe" "")
file(WRITE "${WORK}/game/random.exe" "MZ but nothing that a program holds after its first two bytes, and more of it.\n")
foreach(row "empty|is empty" "random|is not a readable Windows program: not a PE file"
            "truncated|is not a readable Windows program: truncated" "tool|accepted")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 kind)
  list(GET row 1 why)
  set(game "${WORK}/game/${kind}.exe")
  if(kind STREQUAL "tool")
    set(game "${NO_RESOURCES}")  # a program for the stub's machine: accepted
  endif()
  file(MAKE_DIRECTORY "${WORK}/game/${kind}")
  file(COPY_FILE "${game}" "${WORK}/game/${kind}/quorvel.exe")
  file(COPY_FILE "${WORK}/game/script.eka" "${WORK}/game/${kind}/script.eka")
  execute_process(COMMAND "${HOST_TOOL}" create "${WORK}/game/${kind}.ekp" -f -C "${WORK}/game/${kind}" -t ekisa_code
                          quorvel.exe -t raw script.eka)
  if(kind STREQUAL "tool")
    check("archive: quorvel.exe a 32-bit program" EXIT 0 OUTPUT "${out}"
          COMMAND "${HOST_TOOL}" installer "${WORK}/game/${kind}.ekp" -o "${out}" --stub "${STUB}")
    continue()
  endif()
  check("archive: quorvel.exe ${kind}" EXIT 1 OUTPUT "${out}" ONE_LINE
        ERROR "quorvel.exe ${why}; every player would get a broken game program"
        COMMAND "${HOST_TOOL}" installer "${WORK}/game/${kind}.ekp" -o "${out}" --stub "${STUB}")
  check("archive: quorvel.exe ${kind}, shipped anyway" EXIT 0 OUTPUT "${out}" ERROR "shipped as it is (--no-exe-check)"
        COMMAND "${HOST_TOOL}" installer "${WORK}/game/${kind}.ekp" -o "${out}" --stub "${STUB}" --no-exe-check)
endforeach()

# The digest of the patch data: found by verify, and a changed byte of the
# patch data (located through objdump's resource lookup) or of the digest
# record is caught.
# resource_offset(var program id): file offset of resource "RT_RCDATA" id's
# data; var_language: its language.
function(resource_offset var program id)
  execute_process(COMMAND "${OBJDUMP}" -p "${program}" OUTPUT_VARIABLE dump)
  execute_process(COMMAND "${OBJDUMP}" -h "${program}" OUTPUT_VARIABLE sections)
  math(EXPR id_hex "${id}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" id_hex "${id_hex}")
  # The first such id after the type's name: the type's own name table.
  string(FIND "${dump}" "RT_RCDATA" at)
  string(SUBSTRING "${dump}" ${at} -1 dump_rcdata)
  string(FIND "${dump_rcdata}" "ID: 0x0000${id_hex}," at)
  string(SUBSTRING "${dump_rcdata}" ${at} -1 dump_rcdata)
  string(REGEX MATCH "^[^\n]*\n[^\n]*\n[^\n]*ID: (0x[0-9a-f]+)[^\n]*\n[^\n]*Leaf: Addr: (0x[0-9a-f]+)" leaf
         "${dump_rcdata}")
  set(${var}_language "${CMAKE_MATCH_1}" PARENT_SCOPE)
  set(rva "${CMAKE_MATCH_2}")
  string(REGEX MATCH "ImageBase[ \t]+([0-9a-f]+)" base "${dump}")
  set(image_base "0x${CMAKE_MATCH_1}")
  string(REGEX MATCH "\\.rsrc +[0-9a-f]+ +([0-9a-f]+) +[0-9a-f]+ +([0-9a-f]+)" rsrc "${sections}")
  if(NOT leaf OR NOT base OR NOT rsrc)
    message(FATAL_ERROR "objdump does not show resource ${id} of ${program}")
  endif()
  math(EXPR offset "${rva} + ${image_base} - 0x${CMAKE_MATCH_1} + 0x${CMAKE_MATCH_2}")
  set(${var} ${offset} PARENT_SCOPE)
endfunction()
check("verify: the digest of a patch installer" EXIT 0 ERROR "matches the SHA-256 digest recorded in the program"
      COMMAND "${HOST_TOOL}" verify "${host}")
resource_offset(data_at "${host}" 130)
math(EXPR data_at "${data_at} + ${archive_size} / 2")
resource_offset(digest_at "${host}" 131)
if(NOT digest_at_language STREQUAL data_at_language)
  message(SEND_ERROR "the digest's language ${digest_at_language} is not the patch data's, ${data_at_language}")
endif()
foreach(row "patch-data|${data_at}|does not match the digest recorded in the program; the installer would refuse to start"
            "digest-tag|${digest_at}|(resource \"RT_RCDATA\" 131) is damaged")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 kind)
  list(GET row 1 at)
  list(GET row 2 why)
  file(COPY_FILE "${host}" "${WORK}/changed-${kind}.exe")
  flip_byte("${WORK}/changed-${kind}.exe" ${at})
  check("verify: one byte of the ${kind} changed" EXIT 1 ONE_LINE ERROR "${why}"
        COMMAND "${HOST_TOOL}" verify "${WORK}/changed-${kind}.exe")
endforeach()

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
  check("verify ${program}" EXIT 0 ERROR "matches the SHA-256 digest recorded in the program"
        COMMAND "${HOST_TOOL}" verify "${path}")
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

# -v names each entry as it is read, -q says nothing (the demo patch holds
# both files).
foreach(mode v q)
  execute_process(COMMAND "${HOST_TOOL}" installer "${ARCHIVE}" -o "${WORK}/said.exe" -f --stub "${STUB}" -${mode}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE said ERROR_VARIABLE said)
  set(want "")
  if(mode STREQUAL "v")
    set(want "quorvel.exe\nscript.eka\n")
  endif()
  if(NOT rc EQUAL 0 OR NOT said STREQUAL want)
    message(SEND_ERROR "installer -${mode}: exit ${rc}, said \"${said}\", wanted \"${want}\"")
  endif()
endforeach()

file(SHA256 "${STUB}" stub_after)
if(NOT stub_after STREQUAL stub_before)
  message(SEND_ERROR "the stub was changed")
endif()
