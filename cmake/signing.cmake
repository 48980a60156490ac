# Signed packages. -DUPDATER_MINISIGN_PUBKEY=path/minisign.pub builds the
# publisher's key into the updater, which then takes only packages signed
# with it; without it the updater never asks for a signature. The key sits
# in one generated translation unit per program, so another key costs one
# tiny compile and a link.
set(UPDATER_MINISIGN_PUBKEY "" CACHE FILEPATH
  "minisign public key built into the updater (empty: packages are not signed)")

find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium>=1.0.14)
# MD5 whose state a resumed download can keep.
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle>=3.4)
# The hash of a signed download runs on a thread of its own.
find_package(Threads REQUIRED)

# An object library `target` defining builtInSigningKey() from `keyfile`
# (a public key file as `minisign -G` writes it), or empty without one.
function(updater_key_library target keyfile)
  set(UPDATER_KEY_LINE "")
  set(UPDATER_KEY_SOURCE "no key")
  if(keyfile)
    file(STRINGS "${keyfile}" lines LIMIT_COUNT 2)
    list(LENGTH lines count)
    if(count EQUAL 2)
      list(GET lines 1 UPDATER_KEY_LINE)
    endif()
    # "Ed", an 8-byte key id and a 32-byte key: 42 bytes, 56 base64 digits.
    string(LENGTH "${UPDATER_KEY_LINE}" length)
    if(NOT UPDATER_KEY_LINE MATCHES "^RW[A-Za-z0-9+/]+$" OR NOT length EQUAL 56)
      message(FATAL_ERROR "${keyfile} is not a minisign public key")
    endif()
    set(UPDATER_KEY_SOURCE "${keyfile}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${keyfile}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/app/signingkey.cpp.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp @ONLY)
  add_library(${target} OBJECT ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${UPDATER_QT}::Core)
endfunction()

# A program from the shared main object and a key object.
function(updater_program name keytarget)
  add_executable(${name})
  target_link_libraries(${name} PRIVATE updatermain ${keytarget} updatercore)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# For the tests: a second updater built with a key made in the build tree
# (password-less, so the tests can sign with it), beside the keyless one.
function(updater_test_key)
  find_program(UPDATER_MINISIGN minisign)
  if(NOT UPDATER_MINISIGN)
    message(FATAL_ERROR "the tests need minisign (tools/deps.sh installs it)")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/testkey)
  if(NOT EXISTS ${dir}/minisign.pub OR NOT EXISTS ${dir}/minisign.key)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${UPDATER_MINISIGN} -G -f -W
      -p ${dir}/minisign.pub -s ${dir}/minisign.key
      RESULT_VARIABLE status OUTPUT_QUIET)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "minisign -G failed in ${dir}")
    endif()
  endif()
  updater_key_library(updatertestkey ${dir}/minisign.pub)
  updater_program(updater-testkey updatertestkey)
  if(TARGET testsupport)
    target_compile_definitions(testsupport PUBLIC
      KEYED_UPDATER_BINARY="$<TARGET_FILE:updater-testkey>" TEST_KEY_DIR="${dir}")
    add_dependencies(testsupport updater-testkey)
  endif()
endfunction()
