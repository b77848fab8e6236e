# Where ISA-L (CRC-32C), OpenSSL's libcrypto (SHA-256) and xxHash come from:
# the system's development packages when they are installed, otherwise their
# release sources in QEL_SOURCES (an sdist carries them in third_party/),
# built static into the build tree with the project's own compiler. Defines
# qel::isal, qel::crypto and qel::xxhash.
option(QEL_BUNDLED_DEPS "Build ISA-L, libcrypto and xxHash from QEL_SOURCES even when the system has them" OFF)
set(QEL_SOURCES "${CMAKE_SOURCE_DIR}/third_party" CACHE PATH "Directory holding the dependencies' source archives")
include(ExternalProject)

# The one archive matching `pattern`, or a fatal error naming both ways out.
function(qel_source_archive out name pattern package)
  file(GLOB found "${QEL_SOURCES}/${pattern}")
  list(LENGTH found count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${name}: not on this system (install ${package}) and no source archive "
                        "${QEL_SOURCES}/${pattern} to build it from (scripts/fetch-sources puts one there)")
  elseif(count GREATER 1)
    message(FATAL_ERROR "${name}: several source archives match ${QEL_SOURCES}/${pattern}: ${found}")
  endif()
  message(STATUS "${name}: building from ${found}")
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# A static library that an ExternalProject makes; its include directory must
# exist before the build for CMake to accept it.
function(qel_imported_static target library include)
  file(MAKE_DIRECTORY "${include}")
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${library}" INTERFACE_INCLUDE_DIRECTORIES "${include}")
endfunction()

set(qel_deps "${CMAKE_BINARY_DIR}/deps")
cmake_host_system_information(RESULT qel_jobs QUERY NUMBER_OF_LOGICAL_CORES)
string(STRIP "${CMAKE_C_COMPILER} ${CMAKE_C_COMPILER_ARG1}" qel_cc)
if(NOT QEL_BUNDLED_DEPS)
  find_package(OpenSSL 3 COMPONENTS Crypto)
  find_path(ISAL_INCLUDE_DIR isa-l.h)
  find_library(ISAL_LIBRARY isal)
  find_path(XXHASH_INCLUDE_DIR xxhash.h)
endif()
if(QEL_BUNDLED_DEPS OR NOT (ISAL_INCLUDE_DIR AND ISAL_LIBRARY AND OPENSSL_FOUND))
  find_program(QEL_MAKE NAMES gmake make)
  if(NOT QEL_MAKE)
    message(FATAL_ERROR "building ISA-L and libcrypto from source needs make")
  endif()
endif()

# ISA-L: only its CRC unit, through its plain makefile.
if(NOT QEL_BUNDLED_DEPS AND ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
  add_library(qel::isal INTERFACE IMPORTED)
  set_target_properties(qel::isal PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${ISAL_INCLUDE_DIR}"
                                             INTERFACE_LINK_LIBRARIES "${ISAL_LIBRARY}")
else()
  qel_source_archive(archive ISA-L "isa-l-*.tar.*" libisal-dev)
  set(arch "")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    find_program(QEL_NASM nasm)
    if(NOT QEL_NASM)
      message(FATAL_ERROR "ISA-L: its x86-64 assembly needs nasm (install nasm), or install libisal-dev")
    endif()
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(arch arch=aarch64)
  else()
    set(arch arch=noarch)
  endif()
  set(src "${qel_deps}/isa-l")
  ExternalProject_Add(isal_build
    URL "${archive}" SOURCE_DIR "${src}" BUILD_IN_SOURCE ON
    CONFIGURE_COMMAND ""
    BUILD_COMMAND "${QEL_MAKE}" -j${qel_jobs} -f Makefile.unx units=crc ${arch} "CC=${qel_cc}" "AR=${CMAKE_AR}" lib isa-l.h
    # Headers where the installed layout has them: isa-l.h beside isa-l/.
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy_directory include "${src}/out/include/isa-l"
            COMMAND ${CMAKE_COMMAND} -E copy isa-l.h "${src}/out/include/"
    BUILD_BYPRODUCTS "${src}/bin/isa-l.a")
  qel_imported_static(qel::isal "${src}/bin/isa-l.a" "${src}/out/include")
  add_dependencies(qel::isal isal_build)
endif()

# libcrypto: static, without the parts the store never calls, in-source as
# OpenSSL's build prefers.
if(NOT QEL_BUNDLED_DEPS AND OPENSSL_FOUND)
  add_library(qel::crypto INTERFACE IMPORTED)
  set_target_properties(qel::crypto PROPERTIES INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)
else()
  qel_source_archive(archive OpenSSL "openssl-*.tar.*" libssl-dev)
  find_program(QEL_PERL perl)
  if(NOT QEL_PERL)
    message(FATAL_ERROR "OpenSSL: its build needs perl (install perl), or install libssl-dev")
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|aarch64)$")
    set(target linux-${CMAKE_SYSTEM_PROCESSOR})
  else()
    set(target linux-generic64)
  endif()
  set(src "${qel_deps}/openssl")
  ExternalProject_Add(crypto_build
    URL "${archive}" SOURCE_DIR "${src}" BUILD_IN_SOURCE ON
    CONFIGURE_COMMAND "${QEL_PERL}" Configure ${target} "CC=${qel_cc}" "AR=${CMAKE_AR}" "RANLIB=${CMAKE_RANLIB}"
      no-shared no-module no-tests no-engine no-dso no-legacy no-ui-console no-ssl no-tls no-dtls no-comp
      no-ocsp no-cms no-ts no-srp no-ct no-cmp no-aria no-bf no-blake2 no-camellia no-cast no-des no-idea no-md4
      no-mdc2 no-rc2 no-rc4 no-rmd160 no-seed no-siphash no-sm2 no-sm3 no-sm4 no-whirlpool no-scrypt no-ocb
    BUILD_COMMAND "${QEL_MAKE}" -j${qel_jobs} build_generated COMMAND "${QEL_MAKE}" -j${qel_jobs} libcrypto.a
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${src}/libcrypto.a")
  qel_imported_static(qel::crypto "${src}/libcrypto.a" "${src}/include")
  set_target_properties(qel::crypto PROPERTIES INTERFACE_LINK_LIBRARIES Threads::Threads)
  add_dependencies(qel::crypto crypto_build)
endif()

# xxHash: inlined from its header alone.
add_library(qel::xxhash INTERFACE IMPORTED)
if(NOT QEL_BUNDLED_DEPS AND XXHASH_INCLUDE_DIR)
  set_target_properties(qel::xxhash PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${XXHASH_INCLUDE_DIR}")
else()
  qel_source_archive(archive xxHash "xxhash-*.tar.*" libxxhash-dev)
  set(src "${qel_deps}/xxhash")
  if(NOT EXISTS "${src}/xxhash.h")
    file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${qel_deps}/xxhash-unpack" PATTERNS "*/xxhash.h")
    file(GLOB header "${qel_deps}/xxhash-unpack/*/xxhash.h")
    file(COPY ${header} DESTINATION "${src}")
  endif()
  set_target_properties(qel::xxhash PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${src}")
endif()
