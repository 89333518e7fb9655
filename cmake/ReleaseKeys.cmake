# The public keys that sign releases, compiled into the installer. A build
# either names its keys or says outright that it is unsigned; a release build
# that forgot its keys would otherwise ship an installer that trusts any server.
#
#   CLIPVANE_RELEASE_KEYS      PEM files (a CMake list), each holding one or more
#                              "PUBLIC KEY" blocks (ECDSA P-256); list the next key
#                              beside the current one to rotate without a gap.
#                              "local-service": the local service's test keys,
#                              made in the build folder (tests, demo).
#   CLIPVANE_UNSIGNED_RELEASE  ON: no keys; the installer accepts unsigned replies.
#   CLIPVANE_MIN_BUILD         the lowest build number a signed release may carry:
#                              the build this installer ships with. Required
#                              with keys (no default: a server could otherwise
#                              serve any older signed release); 0 given on
#                              purpose accepts every build.
set(CLIPVANE_RELEASE_KEYS "" CACHE STRING "PEM file(s) of the release public keys, or local-service")
option(CLIPVANE_UNSIGNED_RELEASE "Build an installer that accepts unsigned handshake replies" OFF)
set(CLIPVANE_MIN_BUILD "" CACHE STRING "Lowest build number a signed release may carry (dotted decimal)")

if(CLIPVANE_MIN_BUILD STREQUAL "" AND NOT CLIPVANE_UNSIGNED_RELEASE)
  message(FATAL_ERROR "No minimum build: set CLIPVANE_MIN_BUILD to the build this installer ships with "
                      "(-DCLIPVANE_MIN_BUILD=11.0.0.1300), so that no older signed release can be served to it; "
                      "-DCLIPVANE_MIN_BUILD=0 accepts every build")
endif()
if(CLIPVANE_MIN_BUILD STREQUAL "")
  set(CLIPVANE_MIN_BUILD "0")
endif()
if(NOT CLIPVANE_MIN_BUILD MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "CLIPVANE_MIN_BUILD must be a dotted decimal build number, not \"${CLIPVANE_MIN_BUILD}\"")
endif()

set(CLIPVANE_RELEASE_KEYS_PEM "")
# Where the local service's release keys are, when the build trusts them.
set(CLIPVANE_LOCAL_RELEASE_KEYS_DIR "")
if(CLIPVANE_UNSIGNED_RELEASE)
  if(CLIPVANE_RELEASE_KEYS)
    message(FATAL_ERROR "CLIPVANE_UNSIGNED_RELEASE and CLIPVANE_RELEASE_KEYS exclude each other")
  endif()
  message(STATUS "Release keys: none, this is an unsigned build")
elseif(NOT CLIPVANE_RELEASE_KEYS)
  message(FATAL_ERROR "No release keys: set CLIPVANE_RELEASE_KEYS to the PEM file(s) of the release public keys "
                      "(tools/publish-release --make-key DIR makes a pair), or -DCLIPVANE_UNSIGNED_RELEASE=ON "
                      "for an installer that accepts unsigned releases")
else()
  set(_clipvane_key_files ${CLIPVANE_RELEASE_KEYS})
  if(CLIPVANE_RELEASE_KEYS STREQUAL "local-service")
    # Made once with the local CA and kept (make-local-ca reuses them), so
    # the local service keeps signing what this build trusts. Made here, not
    # at build time, because the keys are compiled in.
    set(_clipvane_local_ca "${CMAKE_BINARY_DIR}/local-ca")
    execute_process(COMMAND "${PROJECT_SOURCE_DIR}/tools/local-service/make-local-ca" "${_clipvane_local_ca}"
                    RESULT_VARIABLE _clipvane_ca_result OUTPUT_QUIET ERROR_VARIABLE _clipvane_ca_error)
    if(NOT _clipvane_ca_result EQUAL 0)
      message(FATAL_ERROR "Could not make the local service's release keys: ${_clipvane_ca_error}")
    endif()
    set(CLIPVANE_LOCAL_RELEASE_KEYS_DIR "${_clipvane_local_ca}")
    set(_clipvane_key_files "${_clipvane_local_ca}/release-1/release-pub.pem"
                            "${_clipvane_local_ca}/release-2/release-pub.pem")
  endif()
  foreach(_clipvane_key_file IN LISTS _clipvane_key_files)
    if(NOT EXISTS "${_clipvane_key_file}")
      message(FATAL_ERROR "Release key file ${_clipvane_key_file} does not exist")
    endif()
    file(READ "${_clipvane_key_file}" _clipvane_key_text)
    if(_clipvane_key_text MATCHES "PRIVATE")
      message(FATAL_ERROR "${_clipvane_key_file} holds a private key: only public keys go into the installer")
    endif()
    if(NOT _clipvane_key_text MATCHES "-----BEGIN PUBLIC KEY-----" OR _clipvane_key_text MATCHES "\\)CLVPEM")
      message(FATAL_ERROR "${_clipvane_key_file} holds no PEM public key")
    endif()
    string(APPEND CLIPVANE_RELEASE_KEYS_PEM "${_clipvane_key_text}")
    # A rotated key file is picked up by the next build.
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_clipvane_key_file}")
  endforeach()
  string(REGEX MATCHALL "-----BEGIN PUBLIC KEY-----" _clipvane_keys "${CLIPVANE_RELEASE_KEYS_PEM}")
  list(LENGTH _clipvane_keys _clipvane_key_count)
  message(STATUS "Release keys: ${_clipvane_key_count}, lowest build ${CLIPVANE_MIN_BUILD}")
endif()
configure_file(cmake/LCReleaseKeys.h.in ${CMAKE_BINARY_DIR}/generated/LCReleaseKeys.h @ONLY)
