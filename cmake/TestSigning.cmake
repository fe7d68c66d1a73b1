# Signed copies of programs for the tests, signed as a patch maker signs a
# patch installer: osslsigncode with a code-signing certificate, here a
# throw-away self-signed one that openssl makes once per build folder.
#
#   signed_test_program(TARGET name INPUT program OUTPUT signed [DEPENDS target...])
#
# TEST_CERTIFICATE names the certificate, for `osslsigncode verify -CAfile`.
# Included where needed; the certificate is made once.

find_program(OPENSSL_PROGRAM openssl)
find_program(OSSLSIGNCODE_PROGRAM osslsigncode)
if(NOT OPENSSL_PROGRAM OR NOT OSSLSIGNCODE_PROGRAM)
  message(FATAL_ERROR "The Windows build's tests sign patch installers with openssl and osslsigncode, "
                      "which scripts/setup installs (apt-get install openssl osslsigncode).")
endif()

set(TEST_SIGNING_DIR ${CMAKE_BINARY_DIR}/test-signing)
set(TEST_CERTIFICATE ${TEST_SIGNING_DIR}/certificate.pem)
set(TEST_SIGNING_KEY ${TEST_SIGNING_DIR}/key.pem)
if(NOT TARGET test_certificate)
  add_custom_command(OUTPUT ${TEST_CERTIFICATE} ${TEST_SIGNING_KEY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TEST_SIGNING_DIR}
    COMMAND ${OPENSSL_PROGRAM} req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Miltoa test signer"
            -addext extendedKeyUsage=codeSigning -keyout ${TEST_SIGNING_KEY} -out ${TEST_CERTIFICATE}
    COMMENT "Making a throw-away code-signing certificate"
    VERBATIM)
  add_custom_target(test_certificate DEPENDS ${TEST_CERTIFICATE})
endif()

function(signed_test_program)
  cmake_parse_arguments(S "" "TARGET;INPUT;OUTPUT" "DEPENDS" ${ARGN})
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${S_OUTPUT}
    COMMAND ${OSSLSIGNCODE_PROGRAM} sign -certs ${TEST_CERTIFICATE} -key ${TEST_SIGNING_KEY} -h sha256
            -n "Miltoa patch (test)" -in ${S_INPUT} -out ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${TEST_CERTIFICATE} ${S_DEPENDS}
    COMMENT "Signing ${S_OUTPUT}"
    VERBATIM)
  add_custom_target(${S_TARGET} ALL DEPENDS ${S_OUTPUT})
  add_dependencies(${S_TARGET} test_certificate ${S_DEPENDS})
endfunction()
