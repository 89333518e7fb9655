# macOS dependencies. The application ships alone in its bundle, so it links
# only what every Mac has (the SDK's libcurl, libz and frameworks) and static,
# universal archives of the rest (jsoncpp). A Homebrew dylib would be "Library
# not loaded" on the users' Macs and is refused by the hardened runtime's
# library validation. scripts/package-macos builds jsoncpp that way and passes
# its folder in CMAKE_PREFIX_PATH.

# The SDK's libcurl: -lcurl resolves against the SDK's libcurl.tbd, which the
# linker searches before any folder outside the sysroot. Its headers are the SDK's.
add_library(CURL::libcurl INTERFACE IMPORTED)
target_link_libraries(CURL::libcurl INTERFACE curl z)

find_path(CLIPVANE_JSONCPP_INCLUDE_DIR json/json.h PATH_SUFFIXES jsoncpp)
find_library(CLIPVANE_JSONCPP_LIBRARY NAMES libjsoncpp.a libjsoncpp_static.a)
if(NOT CLIPVANE_JSONCPP_INCLUDE_DIR OR NOT CLIPVANE_JSONCPP_LIBRARY)
  message(FATAL_ERROR "macOS needs a static, universal jsoncpp (libjsoncpp.a and json/json.h): "
                      "scripts/package-macos --deps builds one; pass its folder in CMAKE_PREFIX_PATH")
endif()
add_library(clipvane::jsoncpp STATIC IMPORTED)
set_target_properties(clipvane::jsoncpp PROPERTIES IMPORTED_LOCATION "${CLIPVANE_JSONCPP_LIBRARY}"
                                                   INTERFACE_INCLUDE_DIRECTORIES "${CLIPVANE_JSONCPP_INCLUDE_DIR}")

# Boost.Date_Time is used through its headers only: nothing to link.
find_package(Boost REQUIRED)
add_library(clipvane::boost_date_time INTERFACE IMPORTED)
target_link_libraries(clipvane::boost_date_time INTERFACE Boost::headers)

# The tests, the benchmarks and the frame renderer run on the build machine
# only, where any installed library will do. The application needs none of
# these, and a release does not even look for them: a package manager's
# single-architecture libpng would end up in the universal build.
if(CLIPVANE_BUILD_TESTS OR CLIPVANE_BUILD_BENCH)
  find_package(OpenSSL REQUIRED)
  find_package(PNG REQUIRED)
  find_package(JPEG REQUIRED)
endif()
