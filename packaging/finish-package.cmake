# cmake -DSTAGE=FOLDER -P finish-package.cmake: run by scripts/make_release.py
# once the release's files are staged in FOLDER and before they are zipped.
# Signs the DLL and the tools when asked to, then writes SHA256SUMS, so that
# the sums are those of the files as shipped.
#
# Signing is asked for through the environment, by scripts/package.sh --sign:
# QUENTRA_SIGN_CERT (the code-signing certificate, PEM or DER) and
# QUENTRA_SIGN_KEY (its private key file, or with QUENTRA_SIGN_PKCS11_MODULE
# the PKCS#11 URI of a key on a token), QUENTRA_SIGN_PASS_FILE (the key's
# passphrase or the token's PIN, when one is needed) and
# QUENTRA_SIGN_TIMESTAMP (an RFC 3161 time-stamp server). Only the staged
# copies are signed; the build's own files stay as the build made them.
set(stage "${STAGE}")
if(NOT IS_DIRECTORY "${stage}")
  message(FATAL_ERROR "finish-package: STAGE '${stage}' is not the folder of the staged release")
endif()

set(cert "$ENV{QUENTRA_SIGN_CERT}")
set(key "$ENV{QUENTRA_SIGN_KEY}")
set(module "$ENV{QUENTRA_SIGN_PKCS11_MODULE}")
set(pass_file "$ENV{QUENTRA_SIGN_PASS_FILE}")
set(timestamp "$ENV{QUENTRA_SIGN_TIMESTAMP}")
if(cert OR key)
  set(inputs cert key)
  if(module)
    set(inputs cert module)
  endif()
  foreach(input ${inputs})
    if(NOT ${input} OR NOT EXISTS "${${input}}" OR IS_DIRECTORY "${${input}}")
      message(FATAL_ERROR "signing: the ${input} file '${${input}}' does not exist; "
        "give both QUENTRA_SIGN_CERT and QUENTRA_SIGN_KEY (scripts/package.sh --sign CERT KEY)")
    endif()
  endforeach()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "signing: osslsigncode is not installed; run scripts/bootstrap.sh")
  endif()
  file(GLOB_RECURSE programs LIST_DIRECTORIES false "${stage}/*.dll" "${stage}/*.exe")
  list(SORT programs)
  set(key_args -key "${key}")
  if(module)
    set(key_args -pkcs11module "${module}" -key "${key}")
  endif()
  if(pass_file)
    list(APPEND key_args -readpass "${pass_file}")
  endif()
  if(timestamp)
    list(APPEND key_args -ts "${timestamp}")
  endif()
  foreach(program ${programs})
    execute_process(COMMAND "${OSSLSIGNCODE}" sign -certs "${cert}" ${key_args} -h sha256
        -n "Corvel Security Suite" -in "${program}" -out "${program}.signed"
      RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
      file(REMOVE "${program}.signed")
      message(FATAL_ERROR "signing ${program} failed: ${out}")
    endif()
    file(RENAME "${program}.signed" "${program}")
    file(RELATIVE_PATH name "${stage}" "${program}")
    message(STATUS "signed ${name}")
  endforeach()
endif()

# Every file but the list itself, in the format of sha256sum (two spaces, then
# the path with forward slashes), sorted by path.
file(REMOVE "${stage}/SHA256SUMS")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)
set(sums "")
foreach(name ${files})
  file(SHA256 "${stage}/${name}" digest)
  string(APPEND sums "${digest}  ${name}\n")
endforeach()
file(WRITE "${stage}/SHA256SUMS" "${sums}")
