# release_key_hex(<public key PEM file> <variable>)
#
# Sets <variable> to the 64 bytes X and Y of an ECDSA P-256 public key, as
# 128 hex digits: the form patch.exe hands to CNG. Fails the configuration
# for a file that is not such a key.
function(release_key_hex pem variable)
  set(der ${CMAKE_BINARY_DIR}/release-key.der)
  execute_process(COMMAND openssl pkey -pubin -in ${pem} -outform DER -out ${der}
    RESULT_VARIABLE result ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${pem} is not a public key openssl can read: ${error}")
  endif()
  file(READ ${der} hex HEX)
  file(REMOVE ${der})
  # SubjectPublicKeyInfo of an uncompressed P-256 point: 27 bytes, then X and Y.
  set(p256_head "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
  string(LENGTH "${hex}" length)
  string(SUBSTRING "${hex}" 0 54 head)
  if(NOT length EQUAL 182 OR NOT head STREQUAL p256_head)
    message(FATAL_ERROR "${pem} is not an ECDSA P-256 public key")
  endif()
  string(SUBSTRING "${hex}" 54 128 xy)
  set(${variable} ${xy} PARENT_SCOPE)
endfunction()

# make_test_release_key(<folder>)
#
# A key pair for the tests' own signed releases, made once per build tree:
# <folder>/private.pem and <folder>/public.pem. Never used for a real release.
function(make_test_release_key folder)
  if(EXISTS ${folder}/public.pem)
    return()
  endif()
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND openssl ecparam -name prime256v1 -genkey -noout -out ${folder}/private.pem
    RESULT_VARIABLE made)
  execute_process(COMMAND openssl pkey -in ${folder}/private.pem -pubout -out ${folder}/public.pem
    RESULT_VARIABLE derived)
  if(NOT made EQUAL 0 OR NOT derived EQUAL 0)
    message(FATAL_ERROR "openssl could not make the test release key in ${folder}")
  endif()
endfunction()
