# Compiles with zig's clang against the glibc named in QEL_ZIG_TARGET, so what
# it builds runs on systems as old as that glibc. zig links LLVM's libc++ and
# its ABI library statically: no libstdc++ or libgcc_s is needed at run time.
set(QEL_ZIG_TARGET "x86_64-linux-gnu.2.28" CACHE STRING "zig's target: architecture-os-abi.glibc")
if(NOT QEL_ZIG)
  # The zig binary inside the ziglang package of the Python that builds.
  set(python "${Python_EXECUTABLE}")
  if(NOT python)
    find_program(python NAMES python3 python REQUIRED)
  endif()
  execute_process(
    COMMAND "${python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "zig-toolchain: ${python} has no ziglang package (pip install ziglang); or pass -DQEL_ZIG=/path/to/zig")
  endif()
  set(QEL_ZIG "${zig}" CACHE FILEPATH "The zig compiler")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEL_ZIG QEL_ZIG_TARGET)

set(CMAKE_C_COMPILER "${QEL_ZIG}" cc -target ${QEL_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${QEL_ZIG}" c++ -target ${QEL_ZIG_TARGET})

# The build machine's libraries are built for its own glibc and C++ runtime.
set(QEL_BUNDLED_DEPS ON CACHE BOOL "")
