# Compiler warnings for every target of the project, the local rivo command
# included. TAVRO_WERROR turns them into errors (CI builds that way).
include_guard(GLOBAL)

option(TAVRO_WERROR "Treat compiler warnings as errors" OFF)

# -Wconversion -Wsign-conversion were tried over the whole tree: five
# warnings, none a fault (a pid handed to waitid, poll's descriptor count, a
# byte read as unsigned on purpose for a hash, nanoseconds made a double),
# so they stay off rather than cost a cast at every such line.
add_library(tavro_warnings INTERFACE)
target_compile_options(tavro_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(TAVRO_WERROR)
  target_compile_options(tavro_warnings INTERFACE -Werror)
endif()

# Sources of one folder; an empty folder is a broken checkout, never a
# smaller build.
function(tavro_sources out dir)
  file(GLOB _found CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _found)
    message(FATAL_ERROR "no C++ sources in ${dir}")
  endif()
  set(${out} ${_found} PARENT_SCOPE)
endfunction()
