# tesmo_kernel_image(<name>
#                    SOURCES <file>...
#                    [INCLUDE_DIRECTORIES <dir>...]
#                    [DEFINITIONS <macro>...]
#                    [LIBRARIES <import library>...]
#                    [ALLOW_LINK_WARNINGS])
#
# Builds <name>.sys, a native x64 kernel image, into the current binary
# directory, and keeps the linked image with its symbols and debug information
# as unstripped/<name>.sys beside it (the checker reads DriverEntry's address
# and the static-constructor list from there).
#
# The target <name> is the finished image: linked, stripped, its sections'
# memory attributes set for the kernel's loader and its checksum recomputed.
# The images are reproducible: no time stamp but TESMO_SOURCE_DATE_EPOCH, no
# build directory in the code.
#
# ALLOW_LINK_WARNINGS drops --fatal-warnings; only the checker's probes of
# deliberately broken images use it.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

get_filename_component(TESMO_REPOSITORY_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(TESMO_IMAGE_TOOLS_DIR ${CMAKE_CURRENT_LIST_DIR}/checks)

# The time stamp of every image: SOURCE_DATE_EPOCH from the environment, else
# the time of the last commit, so that __DATE__, __TIME__ and the image's
# TimeDateStamp name the sources rather than the moment of the build.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(_tesmo_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                  OUTPUT_VARIABLE _tesmo_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _tesmo_git_result ERROR_QUIET)
  if(NOT _tesmo_git_result EQUAL 0 OR _tesmo_epoch STREQUAL "")
    set(_tesmo_epoch 0)
  endif()
endif()
set(TESMO_SOURCE_DATE_EPOCH "${_tesmo_epoch}" CACHE STRING "Seconds since 1970 stamped into the images")

set(TESMO_KERNEL_COMPILE_OPTIONS
  -O2 -g
  -fno-exceptions -fno-rtti
  -fno-stack-protector        # no security-cookie runtime in the kernel for GCC's guard
  -fno-strict-aliasing
  -fno-ident
  -mno-80387                  # x87 state is not saved for kernel code; SSE is
  -Wall -Wextra -Wno-multichar
  -Wformat=2                  # every trace's format is a literal the compiler checks
  -Wno-missing-field-initializers   # as in the host build: "= {}" is fine
  -Wframe-larger-than=2048    # kernel stacks are small
  -ffile-prefix-map=${TESMO_REPOSITORY_ROOT}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)

set(TESMO_KERNEL_LINK_OPTIONS
  -nostdlib
  -Wl,--subsystem,native:10.0
  -Wl,--entry,DriverEntry
  -Wl,--image-base,0x140000000   # above 4 GiB: a 32-bit absolute relocation cannot link
  -Wl,--file-alignment,0x200
  -Wl,--section-alignment,0x1000
  -Wl,--dynamicbase
  -Wl,--nxcompat
  -Wl,--high-entropy-va
  -Wl,--wdmdriver
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp)

function(tesmo_kernel_image name)
  cmake_parse_arguments(PARSE_ARGV 1 IMAGE "ALLOW_LINK_WARNINGS" ""
                        "SOURCES;INCLUDE_DIRECTORIES;DEFINITIONS;LIBRARIES")
  set(linked ${name}_linked)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.sys)

  add_executable(${linked} ${IMAGE_SOURCES})
  set_target_properties(${linked} PROPERTIES
    OUTPUT_NAME ${name}
    SUFFIX .sys
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/unstripped
    CXX_STANDARD 17
    CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF
    CXX_COMPILER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${TESMO_SOURCE_DATE_EPOCH}")
  target_include_directories(${linked} PRIVATE ${IMAGE_INCLUDE_DIRECTORIES})
  target_include_directories(${linked} SYSTEM PRIVATE ${TESMO_DDK_INCLUDE_DIR})
  target_compile_definitions(${linked} PRIVATE _WIN32_WINNT=0x0A00 NTDDI_VERSION=0x0A000000 ${IMAGE_DEFINITIONS})
  target_compile_options(${linked} PRIVATE ${TESMO_KERNEL_COMPILE_OPTIONS})
  if(TESMO_WARNINGS_AS_ERRORS)
    target_compile_options(${linked} PRIVATE -Werror)
  endif()
  target_link_options(${linked} PRIVATE ${TESMO_KERNEL_LINK_OPTIONS})
  if(NOT IMAGE_ALLOW_LINK_WARNINGS)
    target_link_options(${linked} PRIVATE -Wl,--fatal-warnings)
  endif()
  # libgcc last: only for ___chkstk_ms, 128-bit division and the like; it adds no import.
  target_link_libraries(${linked} PRIVATE ${IMAGE_LIBRARIES} ntoskrnl hal usbd gcc)

  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${TESMO_SOURCE_DATE_EPOCH}
            ${CMAKE_STRIP} --strip-all -o ${output}.tmp $<TARGET_FILE:${linked}>
    COMMAND ${Python3_EXECUTABLE} ${TESMO_IMAGE_TOOLS_DIR}/finish_image.py ${output}.tmp
    COMMAND ${CMAKE_COMMAND} -E rename ${output}.tmp ${output}
    DEPENDS ${linked} ${TESMO_IMAGE_TOOLS_DIR}/finish_image.py ${TESMO_IMAGE_TOOLS_DIR}/pe_layout.py
    COMMENT "Finishing kernel image ${name}.sys"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
