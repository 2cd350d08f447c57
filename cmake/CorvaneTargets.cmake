# Shared settings for Corvane's own targets: strict warnings, optional sanitizers.
# Warnings stop the build only where asked (the presets do); a compiler we never tried may warn anew.
option(CORVANE_WERROR "Treat compiler warnings as errors" OFF)
option(CORVANE_TSAN "Build with ThreadSanitizer" OFF)

# gcc 12, once optimising, warns falsely from inside libstdc++'s inlined string and vector code
# ("text" + string, small inserts into byte vectors, vectors of vectors): those checks are left to the
# dev build (-O1), which sees the same code without the false alarms.
set(CORVANE_OPTIMISED_GCC12_OFF "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(CORVANE_OPTIMISED_GCC12_OFF -Wno-restrict -Wno-stringop-overflow -Wno-array-bounds -Wno-maybe-uninitialized
      -Wno-stringop-overread -Wno-free-nonheap-object)
endif()

function(corvane_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${CORVANE_WERROR}>:-Werror> ${CORVANE_OPTIMISED_GCC12_OFF})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

if(CORVANE_SANITIZE AND CORVANE_TSAN)
  message(FATAL_ERROR "CORVANE_SANITIZE and CORVANE_TSAN cannot be combined")
endif()
if(CORVANE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # gcc says where ThreadSanitizer cannot see a fence: a limit of the tool, not a fault of the code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
  add_link_options(-fsanitize=thread)
endif()

if(CORVANE_SANITIZE)
  # gcc leaves float-to-integer overflow out of "undefined": a box's 1e300 must not pass unnoticed.
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined,float-cast-overflow)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()
if(CORVANE_FUZZ)
  # Everything is instrumented for coverage so the fuzzers see into the libraries they drive.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# corvane_library(name SOURCES ... LIBS ...): a library of our own code. One whose code has not arrived
# yet still exists, so its dependants link.
function(corvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  set(sources ${ARG_SOURCES})
  if(NOT sources)
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${sources} "")
  endif()
  add_library(${name} STATIC ${sources})
  corvane_target_options(${name})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# corvane_folder_library(name DIRS dir... LIBS ... EXTRA ...): a library made of every .cpp in the folders.
function(corvane_folder_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS;EXTRA" ${ARGN})
  set(sources ${ARG_EXTRA})
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND sources ${found})
    # Headers are listed too, so that Qt's moc sees every class that declares signals.
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.hpp)
    list(APPEND extra_headers ${headers})
  endforeach()
  if(sources)
    list(APPEND sources ${extra_headers})
  endif()
  corvane_library(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
endfunction()
