# A macOS target on a Linux machine, for configuring the Apple branch of the
# build where there is no Xcode: CMake then writes the compile and link lines,
# the bundle's Info.plist and the dependency graph it would use on a Mac, and
# tests/darwin-configure checks them. Nothing configured with it is meant to be
# built: there is no SDK (the sysroot is an empty folder) and no Apple linker.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 17.0)  # Darwin 17 is macOS 10.13
set(CMAKE_SYSTEM_PROCESSOR arm64)

find_program(CLIPVANE_DARWIN_CLANG NAMES clang clang-14 REQUIRED)
find_program(CLIPVANE_DARWIN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${CLIPVANE_DARWIN_CLANG})
set(CMAKE_CXX_COMPILER ${CLIPVANE_DARWIN_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${CLIPVANE_DARWIN_CLANGXX})
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET arm64-apple-macos10.13)
endforeach()

# No Apple linker: the compiler checks build static libraries only. A
# universal object needs lipo, which LLVM provides under another name.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(_darwin_check_dir "${CMAKE_BINARY_DIR}/darwin-check")
file(MAKE_DIRECTORY "${_darwin_check_dir}/sdk" "${_darwin_check_dir}/bin")
find_program(CLIPVANE_DARWIN_LIPO NAMES llvm-lipo llvm-lipo-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
file(CREATE_LINK "${CLIPVANE_DARWIN_LIPO}" "${_darwin_check_dir}/bin/lipo" SYMBOLIC)
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_FLAGS_INIT "-B${_darwin_check_dir}/bin")
endforeach()
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool install_name_tool PATHS /usr/lib/llvm-14/bin)

set(CMAKE_OSX_SYSROOT "${_darwin_check_dir}/sdk" CACHE PATH "The SDK (an empty folder here)")
# What the SDK would answer: pthreads are in libSystem.
set(CMAKE_HAVE_LIBC_PTHREAD 1 CACHE INTERNAL "")
