# seamlog_add_image_check(TARGET [ALLOW_IMPORTS dll...] [SUBSYSTEM n] [OS_VERSION x.y] [EXPORTS name...]
#                         [WINDOWS_XP])
# Registers a ctest test that inspects the built PE image of TARGET with objdump.
# Runs natively, so it works for the win32 build that cannot be executed here.
# WINDOWS_XP (32-bit builds): every imported function must exist on Windows
# XP SP3, that is be listed in cmake/windows-xp-sp3-imports.txt.
function(seamlog_add_image_check target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(C "WINDOWS_XP" "SUBSYSTEM;OS_VERSION" "ALLOW_IMPORTS;EXPORTS" ${ARGN})
  set(args "${CMAKE_OBJDUMP}" "$<TARGET_FILE:${target}>")
  if(C_ALLOW_IMPORTS)
    list(JOIN C_ALLOW_IMPORTS " " allow)
    list(APPEND args --allow-imports "${allow}")
  endif()
  if(C_SUBSYSTEM)
    list(APPEND args --subsystem ${C_SUBSYSTEM})
  endif()
  if(C_OS_VERSION)
    list(APPEND args --os-version ${C_OS_VERSION})
  endif()
  if(C_WINDOWS_XP AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND args --xp-exports ${PROJECT_SOURCE_DIR}/cmake/windows-xp-sp3-imports.txt)
  endif()
  foreach(e IN LISTS C_EXPORTS)
    list(APPEND args --export ${e})
  endforeach()
  add_test(NAME image_check_${target}
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-image.sh ${args})
endfunction()
